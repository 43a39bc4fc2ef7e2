#include "drive/UdisksFormatter.h"

#include <cstring>

#include "drive/UdisksBus.h"

namespace drive {
namespace {

// Writing a file system onto a large drive takes longer than D-Bus's
// default 25 seconds.
constexpr uint64_t kFormatTimeoutUsec = 30ull * 60 * 1000 * 1000;

base::Status unreachable(const std::string& address, int r, const std::string& disk) {
  return base::Status::withMessage("The system bus cannot be reached (" + address + ": " +
                                       std::strerror(-r) + "), so /dev/" + disk +
                                       " cannot be formatted: udisks2 needs it.",
                                   "/dev/" + disk, -r);
}

base::Status refused(const udisks::Error& error, int r, const std::string& device,
                     const std::string& what, const std::string& before = "") {
  base::Status s =
      base::Status::withMessage(before + udisks::why(error, r, device, what), "/dev/" + device, -r);
  return error.is("org.freedesktop.UDisks2.Error.DeviceBusy")
             ? s.withKind(base::Status::Kind::kBusy)
             : s;
}

}  // namespace

UdisksFormatter::UdisksFormatter(std::string busAddress) : address_(std::move(busAddress)) {}

base::Status UdisksFormatter::unmount(const std::string& device) {
  udisks::Bus bus;
  std::string address;
  int r = udisks::connect(address_, &bus, &address);
  if (r < 0) return unreachable(address, r, device);
  udisks::Error error;
  r = sd_bus_call_method(bus.get(), udisks::kService, udisks::blockObjectPath(device).c_str(),
                         "org.freedesktop.UDisks2.Filesystem", "Unmount", &error.e, nullptr,
                         "a{sv}", 0);
  if (r < 0 && !error.is("org.freedesktop.UDisks2.Error.NotMounted"))
    return refused(error, r, device, "unmount");
  return base::Status();
}

base::Result<FormattedVolume> UdisksFormatter::format(const std::string& disk,
                                                      const std::string& type,
                                                      const std::string& label) {
  udisks::Bus bus;
  std::string address;
  int r = udisks::connect(address_, &bus, &address);
  if (r < 0) return unreachable(address, r, disk);
  sd_bus_set_method_call_timeout(bus.get(), kFormatTimeoutUsec);
  const std::string block = udisks::blockObjectPath(disk);
  {
    udisks::Error error;
    r = sd_bus_call_method(bus.get(), udisks::kService, block.c_str(),
                           "org.freedesktop.UDisks2.Block", "Format", &error.e, nullptr, "sa{sv}",
                           "dos", 0);
    if (r < 0) return refused(error, r, disk, "format");
  }
  // MBR type 0x07 holds exFAT (and NTFS), 0x0c FAT32 addressed by LBA.
  const char* partitionType = type == "vfat" ? "0x0c" : "0x07";
  std::string created;
  {
    udisks::Error error;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call_method(bus.get(), udisks::kService, block.c_str(),
                           "org.freedesktop.UDisks2.PartitionTable", "CreatePartitionAndFormat",
                           &error.e, &reply, "ttssa{sv}sa{sv}", uint64_t{0}, uint64_t{0},
                           partitionType, "", 0, type.c_str(), 1, "label", "s", label.c_str());
    const char* path = nullptr;
    if (r >= 0) r = sd_bus_message_read(reply, "o", &path);
    if (r >= 0 && path) created = path;
    sd_bus_message_unref(reply);
    if (r < 0 || created.empty()) {
      // Some disks take a table but never show its partition (a loop
      // device without partition scanning, a reader that hides them):
      // the whole disk then holds the file system, as players read it
      // too, rather than staying erased with no volume at all.
      std::string partitionWhy = udisks::why(error, r, disk, "make a partition on");
      udisks::Error whole;
      int w = sd_bus_call_method(bus.get(), udisks::kService, block.c_str(),
                                 "org.freedesktop.UDisks2.Block", "Format", &whole.e, nullptr,
                                 "sa{sv}", type.c_str(), 1, "label", "s", label.c_str());
      if (w < 0)
        return refused(whole, w, disk, "format",
                       "/dev/" + disk + " now has an empty partition table, but no volume (" +
                           partitionWhy + "), and the whole disk could not be formatted either: ");
      created = block;
    }
  }
  FormattedVolume out;
  out.device = udisks::deviceOfObjectPath(created);
  out.wholeDisk = created == block;
  udisks::Error error;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call_method(bus.get(), udisks::kService, created.c_str(),
                         "org.freedesktop.UDisks2.Filesystem", "Mount", &error.e, &reply, "a{sv}",
                         0);
  const char* mountPath = nullptr;
  if (r >= 0) r = sd_bus_message_read(reply, "s", &mountPath);
  if (r >= 0 && mountPath) out.mountPoint = mountPath;
  sd_bus_message_unref(reply);
  if (r < 0)
    return refused(error, r, out.device, "mount",
                   "/dev/" + out.device + " is formatted as \"" + label + "\", but not mounted: ");
  return out;
}

}  // namespace drive
