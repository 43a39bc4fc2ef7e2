// Reads one SMART log page from the device behind a registry entry that
// answers "SMART Capable". Backends: SgIoSmartLogReader (ATA PASS-THROUGH
// through SG_IO on the real device) and RecordedSmartLogReader (pages
// recorded as files in a fake hardware tree).
//
// Thread: one reader per thread.
// Errors: every failure (no device, refused command, short page) answers
// kFailed and leaves the page's contents unspecified; kNotPermitted is
// the failure the user can remedy: the system refused the read for lack
// of privilege. A failure the system gave a reason for (errno) logs one
// line naming the device and the reason.
#pragma once

#include <cstdint>
#include <span>

#include "drive/DeviceRegistry.h"

namespace drive {

enum class SmartLogResult { kRead, kFailed, kNotPermitted };

class SmartLogReader {
 public:
  static constexpr size_t kPageSize = 512;
  virtual ~SmartLogReader() = default;
  virtual SmartLogResult readLogAtAddress(const RegistryEntry& smartService, uint8_t logAddress,
                                          std::span<uint8_t, kPageSize> page) = 0;
};

}  // namespace drive
