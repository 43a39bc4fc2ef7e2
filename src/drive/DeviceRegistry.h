// The device registry as the drive finder sees it: whole-disk media
// entries, each with a name, properties and a chain of parents (the
// disk's controller, its bus adapters, ...). Backends: sysfs on Linux
// (SysfsDeviceRegistry), in-memory ones in tests.
//
// Properties the finder reads: "BSD Name" (text, on a medium), "SMART
// Capable" (boolean, on an ATA device), "IOPCITunnelled" (boolean, on a
// PCI device), "subsystem-vendor-id" and "subsystem-id" (4-byte
// little-endian data, on a PCI device). An absent or unreadable property
// is RegistryValue() (none).
//
// Ownership: entries are owned by whoever holds the unique_ptr and stay
// valid independently of the registry object's other entries.
// Thread: one registry per thread; entries are not shared across threads.
// Errors: a backend that cannot enumerate answers no list at all; a
// broken entry is left out or answers none for its properties.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "drive/RegistryValue.h"

namespace drive {

class RegistryEntry {
 public:
  virtual ~RegistryEntry() = default;
  virtual std::string name() const = 0;
  virtual RegistryValue property(const std::string& key) const = 0;
  // The next entry up the device tree; null at the top.
  virtual std::unique_ptr<RegistryEntry> parent() const = 0;
  // Where the entry lives in its backend (a sysfs directory on Linux);
  // used by backends that act on the device behind an entry.
  virtual std::string location() const = 0;
};

class DeviceRegistry {
 public:
  virtual ~DeviceRegistry() = default;

  // Every whole-disk medium; none when enumeration cannot start.
  virtual std::optional<std::vector<std::unique_ptr<RegistryEntry>>> wholeDiskMedia() = 0;

  // The whole disk that `device` is a partition of, none when `device`
  // is not a partition (a whole disk, an unknown name, a broken entry).
  virtual std::optional<std::string> wholeDiskOfPartition(const std::string& device) = 0;
};

}  // namespace drive
