#include "drive/UdisksEjector.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Log.h"
#include "drive/DriveScanner.h"
#include "drive/UdisksBus.h"

namespace drive {

using udisks::Error;
using udisks::kService;

UdisksEjector::UdisksEjector(std::string busAddress) : address_(std::move(busAddress)) {}

std::string UdisksEjector::blockObjectPath(const std::string& device) {
  return udisks::blockObjectPath(device);
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
  udisks::Bus bus;
  std::string address;
  int r = udisks::connect(address_, &bus, &address);
  sd_bus* raw = bus.get();
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
      out.message = udisks::why(error, r, device, "unmount");
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
                  udisks::why(error, r, device, "power off");
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
