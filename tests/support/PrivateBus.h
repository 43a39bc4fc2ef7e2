// A private D-Bus daemon for one test, and a service thread on it that
// serves the objects a test adds (a stand-in udisks2 or notification
// daemon), so that clients are tested against the calls they really make.
//
// Thread: the service's handlers run on its own thread; the test reads
// what they record after stop() or under its own lock.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "support/TempDir.h"

namespace testsupport {

class PrivateBus {
 public:
  PrivateBus() : address_("unix:path=" + dir_ / "bus") {
    std::string command = "exec dbus-daemon --session --nofork --address=" + address_;
    daemon_ = fork();
    if (daemon_ == 0) {
      // Gone with the test, however it ends: a daemon left behind would
      // hold the test runner's output open.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
      _exit(127);
    }
    for (int i = 0; i < 100 && !ok(); ++i) usleep(20000);
  }
  ~PrivateBus() {
    stop();
    if (daemon_ > 0) kill(daemon_, SIGTERM), waitpid(daemon_, nullptr, 0);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool ok() const { return daemon_ > 0 && access((dir_ / "bus").c_str(), F_OK) == 0; }
  const std::string& address() const { return address_; }

  // Serves what `addObjects` adds under the well-known `name` until stop().
  void serve(const std::string& name, std::function<void(sd_bus*)> addObjects) {
    std::atomic<bool> ready{false};
    service_ = std::thread([this, name, addObjects, &ready] {
      sd_bus* bus = nullptr;
      sd_bus_new(&bus);
      sd_bus_set_address(bus, address_.c_str());
      sd_bus_set_bus_client(bus, 1);
      sd_bus_start(bus);
      addObjects(bus);
      sd_bus_request_name(bus, name.c_str(), 0);
      ready = true;
      while (!stop_)
        if (sd_bus_process(bus, nullptr) == 0) sd_bus_wait(bus, 50000);
      sd_bus_flush_close_unref(bus);
    });
    while (!ready) usleep(1000);
  }
  void stop() {
    stop_ = true;
    if (service_.joinable()) service_.join();
  }

 private:
  TempDir dir_;
  std::string address_;
  pid_t daemon_ = -1;
  std::thread service_;
  std::atomic<bool> stop_{false};
};

}  // namespace testsupport
