#include "drive/RecordedSmartLogReader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>

#include "drive/SysfsTree.h"

namespace drive {

std::string RecordedSmartLogReader::pageFileName(uint8_t logAddress) {
  char name[16];
  std::snprintf(name, sizeof name, "log-%02x", logAddress);
  return name;
}

bool RecordedSmartLogReader::readLogAtAddress(const RegistryEntry& smartService, uint8_t logAddress,
                                              std::span<uint8_t, kPageSize> page) {
  auto device = SysfsTree::blockDeviceBelow(smartService.location());
  if (!device) return false;
  std::ifstream in(pagesDir_ / *device / pageFileName(logAddress), std::ios::binary);
  if (!in) return false;
  std::array<char, kPageSize + 1> buffer{};
  in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  if (in.gcount() != static_cast<std::streamsize>(kPageSize)) return false;
  std::copy_n(buffer.begin(), kPageSize, reinterpret_cast<char*>(page.data()));
  return true;
}

}  // namespace drive
