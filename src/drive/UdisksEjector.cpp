#include "drive/UdisksEjector.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/Configuration.h"
#include "base/Log.h"
#include "drive/DriveScanner.h"

namespace drive {
namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kDefaultBus = "unix:path=/run/dbus/system_bus_socket";

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

struct Error {
  sd_bus_error e = SD_BUS_ERROR_NULL;
  ~Error() { sd_bus_error_free(&e); }
  bool is(const char* name) const { return sd_bus_error_has_name(&e, name); }
  std::string text(int r) const {
    return e.message ? e.message : e.name ? e.name : std::strerror(r < 0 ? -r : r);
  }
};

// Why udisks2 did not do it, in a person's words.
std::string why(const Error& error, int r, const std::string& device, const std::string& what) {
  std::string dev = "/dev/" + device;
  if (error.is("org.freedesktop.DBus.Error.ServiceUnknown") ||
      error.is("org.freedesktop.DBus.Error.NameHasNoOwner") ||
      error.is("org.freedesktop.DBus.Error.Spawn.ServiceNotFound"))
    return "udisks2 is not running, so " + dev +
           " cannot be ejected from here (install and start udisks2, or unmount it as root).";
  if (error.is("org.freedesktop.UDisks2.Error.DeviceBusy"))
    return dev + " is busy: a program still has a file open on it. Close it, then eject again.";
  if (error.is("org.freedesktop.UDisks2.Error.NotAuthorized") ||
      error.is("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain") ||
      error.is("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed") ||
      error.is("org.freedesktop.DBus.Error.AccessDenied"))
    return "Not permitted to " + what + " " + dev + ": " + error.text(r);
  if (error.is("org.freedesktop.DBus.Error.UnknownObject") ||
      error.is("org.freedesktop.DBus.Error.UnknownInterface") ||
      error.is("org.freedesktop.DBus.Error.UnknownMethod"))
    return "udisks2 does not know " + dev + " as a volume it can " + what + ".";
  return "udisks2 could not " + what + " " + dev + ": " + error.text(r);
}

}  // namespace

UdisksEjector::UdisksEjector(std::string busAddress) : address_(std::move(busAddress)) {}

std::string UdisksEjector::blockObjectPath(const std::string& device) {
  std::string path = "/org/freedesktop/UDisks2/block_devices/";
  for (unsigned char c : device) {
    if (std::isalnum(c)) {
      path += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "_%02x", c);
      path += hex;
    }
  }
  return path;
}

drive::EjectOutcome UdisksEjector::eject(const std::string& device, const std::string& mountPoint) {
  drive::EjectOutcome out;
  const std::string dev = "/dev/" + device;
  // What the kernel still holds goes to the drive before anything else.
  if (!mountPoint.empty()) {
    int fd = ::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      if (::syncfs(fd) != 0)
        base::logFormat("eject: flushing %@ failed: %@", mountPoint,
                        std::string(std::strerror(errno)));
      ::close(fd);
    }
  }
  std::string address = address_;
  if (address.empty()) address = base::configuration()->systemBus;
  if (address.empty()) address = kDefaultBus;
  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  Bus bus(raw);
  if (r >= 0) r = sd_bus_set_address(raw, address.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
  if (r >= 0) r = sd_bus_start(raw);
  if (r < 0) {
    out.message = "The system bus cannot be reached (" + address + ": " + std::strerror(-r) +
                  "), so " + dev + " cannot be ejected: udisks2 needs it.";
    return out;
  }
  const std::string block = blockObjectPath(device);
  {
    Error error;
    r = sd_bus_call_method(raw, kService, block.c_str(), "org.freedesktop.UDisks2.Filesystem",
                           "Unmount", &error.e, nullptr, "a{sv}", 0);
    if (r < 0 && !error.is("org.freedesktop.UDisks2.Error.NotMounted")) {
      out.message = why(error, r, device, "unmount");
      return out;
    }
  }
  out.unmounted = true;
  // "Drive" is an object path: read as one, not as a string.
  std::string drivePathText;
  {
    Error error;
    sd_bus_message* reply = nullptr;
    r = sd_bus_get_property(raw, kService, block.c_str(), "org.freedesktop.UDisks2.Block", "Drive",
                            &error.e, &reply, "o");
    const char* path = nullptr;
    if (r >= 0) r = sd_bus_message_read(reply, "o", &path);
    if (r >= 0 && path) drivePathText = path;
    sd_bus_message_unref(reply);
    if (r < 0 || drivePathText.empty() || drivePathText == "/") {
      out.message = dev + " is unmounted, but udisks2 names no drive to power off (" +
                    (r < 0 ? error.text(r) : std::string("none")) + "); it may be unplugged.";
      return out;
    }
  }
  Error error;
  r = sd_bus_call_method(raw, kService, drivePathText.c_str(), "org.freedesktop.UDisks2.Drive",
                         "PowerOff", &error.e, nullptr, "a{sv}", 0);
  if (r < 0) {
    out.message = dev + " is unmounted, but the drive was not powered off: " +
                  why(error, r, device, "power off");
    return out;
  }
  out.poweredOff = true;
  out.message = dev + " is unmounted and its drive powered off: it can be unplugged.";
  return out;
}

drive::EjectOutcome ejectTessalineVolume(const DriveScan& scan, const std::string& name,
                                         drive::DriveEjector& ejector) {
  const ScannedVolume* chosen = nullptr;
  auto trimmed = [](std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  };
  if (name.empty()) {
    std::vector<ScannedVolume> offered = scan.offered();
    if (scan.selected >= 0 && static_cast<size_t>(scan.selected) < offered.size()) {
      for (const auto& v : scan.volumes)
        if (v.device == offered[static_cast<size_t>(scan.selected)].device) chosen = &v;
    } else if (scan.volumes.size() == 1) {
      chosen = &scan.volumes.front();
    }
  } else {
    for (const auto& v : scan.volumes) {
      if (v.title == name || v.name == name || v.device == name || "/dev/" + v.device == name ||
          (!v.mountPoint.empty() && trimmed(v.mountPoint) == trimmed(name)))
        chosen = &v;
    }
  }
  if (!chosen) {
    drive::EjectOutcome out;
    out.found = false;
    if (scan.volumes.empty()) {
      out.message = "No Tessaline drive is attached" +
                    (scan.explanation.empty() ? std::string(".") : ": " + scan.explanation);
    } else {
      std::string titles;
      for (const auto& v : scan.volumes)
        titles += (titles.empty() ? "\"" : ", \"") + v.title + "\"";
      out.message = (name.empty() ? std::string("Name the volume to eject")
                                  : "No Tessaline volume is named \"" + name + "\"") +
                    "; the volumes are " + titles + ".";
    }
    return out;
  }
  return ejector.eject(chosen->device, chosen->mountPoint);
}

}  // namespace drive
