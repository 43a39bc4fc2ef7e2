// Reads one SMART log page from the device behind a registry entry that
// answers "SMART Capable". Backends: SgIoSmartLogReader (ATA PASS-THROUGH
// through SG_IO on the real device) and RecordedSmartLogReader (pages
// recorded as files in a fake hardware tree).
//
// Thread: one reader per thread.
// Errors: every failure (no device, refused command, short page) answers
// a Status naming the device or recording and the reason, and leaves the
// page's contents unspecified; Status::notPermitted() tells the failure
// the user can remedy: the system refused the read for lack of
// privilege. Readers log nothing: the caller decides what to tell.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/Format.h"
#include "base/Status.h"
#include "drive/DeviceRegistry.h"
#include "drive/SysfsTree.h"

namespace drive {

class SmartLogReader {
 public:
  static constexpr size_t kPageSize = 512;
  virtual ~SmartLogReader() = default;
  virtual base::Status readLogAtAddress(const RegistryEntry& smartService, uint8_t logAddress,
                                        std::span<uint8_t, kPageSize> page) = 0;

 protected:
  // The disk below the service; `action` receives what a failed read of
  // log `logAddress` says it failed at, also when there is no disk.
  static base::Result<std::string> diskBelow(const RegistryEntry& smartService, uint8_t logAddress,
                                             std::string* action) {
    *action = base::format("cannot read SMART log 0x%x of", logAddress);
    auto device = SysfsTree::blockDeviceBelow(smartService.location());
    if (!device) return base::Status::failure(*action, smartService.location(), "no disk below it");
    return *device;
  }
};

}  // namespace drive
