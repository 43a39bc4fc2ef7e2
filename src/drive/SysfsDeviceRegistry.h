// The device registry read from sysfs. Media are the whole disks listed
// under block/; a medium is named "<vendor> <model> Media" from its SCSI
// INQUIRY fields (device/vendor, device/model, blanks trimmed), except a
// disk on libata (vendor "ATA", which names no maker): "<model> Media"
// from the ATA identify model, read whole from device/vpd_pg89 (the
// INQUIRY model keeps only its first 16 characters), else the INQUIRY
// model. A medium's parents are the device directories above it (those
// holding a "uevent" file) up to devices/.
//
// Properties: a medium has "BSD Name" (its kernel name) and "Whole"; a
// SCSI device whose vendor is "ATA" (a disk on libata, which takes ATA
// PASS-THROUGH) is "SMART Capable"; a PCI device has "IOPCITunnelled"
// (its "removable" attribute reads "removable", as the kernel marks
// devices behind a Thunderbolt tunnel) and "subsystem-vendor-id" /
// "subsystem-id" as 4-byte little-endian data from subsystem_vendor /
// subsystem_device. A malformed attribute (not hexadecimal, wider than
// 16 bits) leaves its property absent.
//
// Thread: one registry per thread.
// Errors: an unreadable block/ folder answers no media list; unreadable
// entries are left out.
#pragma once

#include <memory>

#include "drive/DeviceRegistry.h"
#include "drive/SysfsTree.h"

namespace drive {

class SysfsDeviceRegistry : public DeviceRegistry {
 public:
  // `sysRoot` is the sysfs mount ("/sys" or DIR/sys).
  explicit SysfsDeviceRegistry(std::filesystem::path sysRoot);
  // A registry over a tree the caller made, e.g. one that serves some
  // attributes from memory.
  explicit SysfsDeviceRegistry(std::shared_ptr<const SysfsTree> tree);

  std::optional<std::vector<std::unique_ptr<RegistryEntry>>> wholeDiskMedia() override;
  std::optional<std::string> wholeDiskOfPartition(const std::string& device) override;

  // "0x1c2e" -> 0x1C2E; none for anything that is not a 16-bit
  // hexadecimal number.
  static std::optional<uint16_t> parsePciId(const std::string& text);

 private:
  std::shared_ptr<const SysfsTree> tree_;
};

}  // namespace drive
