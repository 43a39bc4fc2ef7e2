// Listens to udisks2 on the system bus for what changes which drives can
// be exported to: objects added or removed (org.freedesktop.DBus.
// ObjectManager InterfacesAdded, InterfacesRemoved: a drive plugged in or
// out) and a volume mounted or unmounted (PropertiesChanged of
// org.freedesktop.UDisks2.Filesystem, its MountPoints); and mounts a
// volume (Filesystem.Mount) as the desktop would.
//
// Thread: one thread at a time. Ownership: owns its bus connection.
// Errors: start() and mount() answer a Status naming the bus or device
// and udisks2's reason in words.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "base/Status.h"

namespace drive {

class UdisksWatcher {
 public:
  // `busAddress`: a D-Bus address; empty: the configuration's system bus.
  explicit UdisksWatcher(std::string busAddress = "");
  ~UdisksWatcher();

  base::Status start();
  // Waits up to `timeout` (returning early when *stop is raised) for a
  // change; true when one came since the last call.
  bool waitForChange(std::chrono::milliseconds timeout, const std::atomic<bool>* stop);
  // Mounts /dev/`device`; answers where.
  base::Result<std::string> mount(const std::string& device);

 private:
  struct Connection;
  std::string address_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace drive
