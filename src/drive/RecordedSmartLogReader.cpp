#include "drive/RecordedSmartLogReader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "drive/SysfsTree.h"
#include "platform/Log.h"

namespace drive {

std::string RecordedSmartLogReader::pageFileName(uint8_t logAddress) {
  char name[16];
  std::snprintf(name, sizeof name, "log-%02x", logAddress);
  return name;
}

SmartLogResult RecordedSmartLogReader::readLogAtAddress(const RegistryEntry& smartService,
                                                        uint8_t logAddress,
                                                        std::span<uint8_t, kPageSize> page) {
  auto device = SysfsTree::blockDeviceBelow(smartService.location());
  if (!device) return SmartLogResult::kFailed;
  std::filesystem::path file = pagesDir_ / *device / pageFileName(logAddress);
  std::ifstream in(file, std::ios::binary);
  if (!in) return SmartLogResult::kFailed;
  std::array<char, kPageSize + 1> buffer{};
  in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  std::string_view read(buffer.data(), static_cast<size_t>(in.gcount()));
  if (read == "EPERM" || read == "EPERM\n") {
    platform::logFormat("cannot read SMART log 0x%x of %@: %@", logAddress, file.string(),
                        std::strerror(EPERM));
    return SmartLogResult::kNotPermitted;
  }
  if (read.size() != kPageSize) return SmartLogResult::kFailed;
  std::copy_n(buffer.begin(), kPageSize, reinterpret_cast<char*>(page.data()));
  return SmartLogResult::kRead;
}

}  // namespace drive
