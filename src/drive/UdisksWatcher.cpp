#include "drive/UdisksWatcher.h"

#include <cstring>

#include "drive/UdisksBus.h"

namespace drive {

struct UdisksWatcher::Connection {
  udisks::Bus bus;
  bool changed = false;
};

namespace {

int onChange(sd_bus_message*, void* changed, sd_bus_error*) {
  *static_cast<bool*>(changed) = true;
  return 0;
}

constexpr const char* kMatches[] = {
    "type='signal',sender='org.freedesktop.UDisks2',interface='org.freedesktop.DBus."
    "ObjectManager',member='InterfacesAdded'",
    "type='signal',sender='org.freedesktop.UDisks2',interface='org.freedesktop.DBus."
    "ObjectManager',member='InterfacesRemoved'",
    // Only a volume's mount points: other properties change all the time.
    "type='signal',sender='org.freedesktop.UDisks2',interface='org.freedesktop.DBus.Properties',"
    "member='PropertiesChanged',arg0='org.freedesktop.UDisks2.Filesystem'",
};

}  // namespace

UdisksWatcher::UdisksWatcher(std::string busAddress) : address_(std::move(busAddress)) {}
UdisksWatcher::~UdisksWatcher() = default;

base::Status UdisksWatcher::start() {
  auto connection = std::make_unique<Connection>();
  std::string address;
  int r = udisks::connect(address_, &connection->bus, &address);
  for (const char* match : kMatches) {
    if (r >= 0)
      r = sd_bus_add_match(connection->bus.get(), nullptr, match, onChange, &connection->changed);
  }
  if (r < 0)
    return base::Status::withMessage(
        "Cannot listen to udisks2 on the system bus (" + address + "): " + std::strerror(-r),
        address, -r);
  connection_ = std::move(connection);
  return base::Status();
}

bool UdisksWatcher::waitForChange(std::chrono::milliseconds timeout,
                                  const std::atomic<bool>* stop) {
  if (!connection_) return false;
  sd_bus* bus = connection_->bus.get();
  auto until = std::chrono::steady_clock::now() + timeout;
  while (!connection_->changed && !(stop && *stop) && std::chrono::steady_clock::now() < until) {
    int r = sd_bus_process(bus, nullptr);
    if (r < 0) break;  // the bus went: the caller's next look says more
    if (r == 0) sd_bus_wait(bus, 100000);
  }
  // Signals of one plug-in come in bursts: taken together.
  while (sd_bus_process(bus, nullptr) > 0) {
  }
  bool changed = connection_->changed;
  connection_->changed = false;
  return changed;
}

base::Result<std::string> UdisksWatcher::mount(const std::string& device) {
  udisks::Bus bus;
  std::string address;
  int r = udisks::connect(address_, &bus, &address);
  if (r < 0)
    return base::Status::withMessage("The system bus cannot be reached (" + address + ": " +
                                         std::strerror(-r) + "), so /dev/" + device +
                                         " cannot be mounted: udisks2 needs it.",
                                     "/dev/" + device, -r);
  udisks::Error error;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call_method(bus.get(), udisks::kService, udisks::blockObjectPath(device).c_str(),
                         "org.freedesktop.UDisks2.Filesystem", "Mount", &error.e, &reply, "a{sv}",
                         0);
  const char* path = nullptr;
  if (r >= 0) r = sd_bus_message_read(reply, "s", &path);
  std::string where = r >= 0 && path ? path : "";
  sd_bus_message_unref(reply);
  if (r < 0)
    return base::Status::withMessage(udisks::why(error, r, device, "mount"), "/dev/" + device, -r);
  return where;
}

}  // namespace drive
