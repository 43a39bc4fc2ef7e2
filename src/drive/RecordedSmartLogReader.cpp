#include "drive/RecordedSmartLogReader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/Format.h"
#include "base/WholeFile.h"
#include "drive/SysfsTree.h"

namespace drive {

std::string RecordedSmartLogReader::pageFileName(uint8_t logAddress) {
  char name[16];
  std::snprintf(name, sizeof name, "log-%02x", logAddress);
  return name;
}

base::Status RecordedSmartLogReader::readLogAtAddress(const RegistryEntry& smartService,
                                                      uint8_t logAddress,
                                                      std::span<uint8_t, kPageSize> page) {
  std::string action;
  auto device = diskBelow(smartService, logAddress, &action);
  if (!device) return device.status();
  std::filesystem::path file = pagesDir_ / *device / pageFileName(logAddress);
  auto recording = base::readWholeFile(file.string(), kPageSize + 1, base::Oversize::kTruncate);
  if (!recording) return base::Status::fromErrno(recording.status().code(), action, file.string());
  std::string_view read = *recording;
  if (read == "EPERM" || read == "EPERM\n")
    return base::Status::fromErrno(EPERM, action, file.string());
  if (read.size() != kPageSize) {
    return base::Status::failure(
        action, file.string(),
        base::format("the recording holds %d bytes, not %d", read.size(), kPageSize));
  }
  std::copy_n(read.begin(), kPageSize, reinterpret_cast<char*>(page.data()));
  return {};
}

}  // namespace drive
