#include "drive/UdisksBus.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Configuration.h"
#include "base/Text.h"

namespace drive::udisks {
namespace {

constexpr const char* kDefaultBus = "unix:path=/run/dbus/system_bus_socket";
constexpr const char* kBlockPrefix = "/org/freedesktop/UDisks2/block_devices/";

}  // namespace

std::string Error::text(int r) const {
  return e.message ? e.message : e.name ? e.name : std::strerror(r < 0 ? -r : r);
}

int connect(const std::string& address, Bus* bus, std::string* used) {
  std::string where = address;
  if (where.empty()) where = base::configuration()->systemBus;
  if (where.empty()) where = kDefaultBus;
  if (used) *used = where;
  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  bus->reset(raw);
  if (r >= 0) r = sd_bus_set_address(raw, where.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
  if (r >= 0) r = sd_bus_start(raw);
  return r;
}

std::string why(const Error& error, int r, const std::string& device, const std::string& what) {
  std::string dev = "/dev/" + device;
  const std::string done = what == "format" ? "formatted" : what == "mount" ? "mounted" : "ejected";
  const std::string again = what == "format" || what == "mount" ? what : "eject";
  if (error.is("org.freedesktop.DBus.Error.ServiceUnknown") ||
      error.is("org.freedesktop.DBus.Error.NameHasNoOwner") ||
      error.is("org.freedesktop.DBus.Error.Spawn.ServiceNotFound"))
    return "udisks2 is not running, so " + dev + " cannot be " + done +
           " from here (install and start udisks2, or unmount it as root).";
  if (error.is("org.freedesktop.UDisks2.Error.DeviceBusy"))
    return dev + " is busy: a program still has a file open on it. Close it, then " + again +
           " again.";
  if (error.is("org.freedesktop.UDisks2.Error.NotAuthorized") ||
      error.is("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain") ||
      error.is("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed") ||
      error.is("org.freedesktop.DBus.Error.AccessDenied"))
    return "Not permitted to " + what + " " + dev + ": " + error.text(r);
  if (error.is("org.freedesktop.DBus.Error.UnknownObject") ||
      error.is("org.freedesktop.DBus.Error.UnknownInterface") ||
      error.is("org.freedesktop.DBus.Error.UnknownMethod"))
    return "udisks2 does not know " + dev + " as a volume it can " + what + ".";
  if (error.is("org.freedesktop.DBus.Error.NoReply") || r == -ETIMEDOUT)
    return "udisks2 did not answer in time while asked to " + what + " " + dev +
           "; it may still be working: look at the drive before using it.";
  return "udisks2 could not " + what + " " + dev + ": " + error.text(r);
}

std::string blockObjectPath(const std::string& device) {
  std::string path = kBlockPrefix;
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

std::string deviceOfObjectPath(const std::string& path) {
  std::string tail = path.substr(path.rfind('/') + 1), device;
  for (size_t i = 0; i < tail.size(); ++i) {
    int hi = i + 2 < tail.size() && tail[i] == '_' ? base::text::hexDigitValue(tail[i + 1]) : -1;
    int lo = hi >= 0 ? base::text::hexDigitValue(tail[i + 2]) : -1;
    if (hi >= 0 && lo >= 0) {
      device += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      device += tail[i];
    }
  }
  return device;
}

}  // namespace drive::udisks
