#include "cli/DesktopNotifier.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <iostream>

namespace app {

struct DesktopNotifier::Connection {
  sd_bus* bus = nullptr;
  std::vector<std::pair<uint32_t, std::string>> pressed;
  ~Connection() { sd_bus_flush_close_unref(bus); }
};

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";

int onAction(sd_bus_message* m, void* pressed, sd_bus_error*) {
  uint32_t id = 0;
  const char* key = nullptr;
  if (sd_bus_message_read(m, "us", &id, &key) >= 0 && key)
    static_cast<std::vector<std::pair<uint32_t, std::string>>*>(pressed)->emplace_back(id, key);
  return 0;
}

}  // namespace

DesktopNotifier::DesktopNotifier(std::string address) : address_(std::move(address)) {}
DesktopNotifier::~DesktopNotifier() = default;

uint32_t DesktopNotifier::notify(const std::string& summary, const std::string& body,
                                 const std::vector<std::pair<std::string, std::string>>& actions) {
  int r = 0;
  if (!connection_ && !address_.empty()) {
    auto c = std::make_unique<Connection>();
    r = sd_bus_new(&c->bus);
    if (r >= 0) r = sd_bus_set_address(c->bus, address_.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(c->bus, 1);
    if (r >= 0) r = sd_bus_start(c->bus);
    if (r >= 0)
      r = sd_bus_add_match(c->bus, nullptr,
                           "type='signal',interface='org.freedesktop.Notifications',"
                           "member='ActionInvoked'",
                           onAction, &c->pressed);
    if (r >= 0) connection_ = std::move(c);
  }
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  uint32_t id = 0;
  if (connection_) {
    r = sd_bus_message_new_method_call(connection_->bus, &call, kService, kPath, kService,
                                       "Notify");
    if (r >= 0)
      r = sd_bus_message_append(call, "susss", "Tessaline Exporter", 0u, "drive-removable-media",
                                summary.c_str(), body.c_str());
    if (r >= 0) r = sd_bus_message_open_container(call, 'a', "s");
    for (const auto& [key, label] : actions) {
      if (r >= 0) r = sd_bus_message_append(call, "ss", key.c_str(), label.c_str());
    }
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r >= 0) r = sd_bus_message_append(call, "a{sv}i", 0, -1);
    if (r >= 0) r = sd_bus_call(connection_->bus, call, 0, &error, &reply);
    if (r >= 0) r = sd_bus_message_read(reply, "u", &id);
  }
  if ((address_.empty() || r < 0) && !said_) {
    said_ = true;  // once: the log is the journal, read later
    std::cerr << "tessaline watch: no desktop notification can be shown ("
              << (address_.empty() ? std::string("no session bus")
                                   : std::string(error.message ? error.message : std::strerror(-r)))
              << ")\n";
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(call);
  sd_bus_message_unref(reply);
  return r >= 0 ? id : 0;
}

void DesktopNotifier::process(
    const std::function<void(uint32_t id, const std::string& key)>& onAction) {
  if (!connection_) return;
  while (sd_bus_process(connection_->bus, nullptr) > 0) {
  }
  auto pressed = std::move(connection_->pressed);
  connection_->pressed.clear();
  for (const auto& [id, key] : pressed) onAction(id, key);
}

}  // namespace app
