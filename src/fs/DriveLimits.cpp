#include "fs/DriveLimits.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "fs/DriveRecord.h"

namespace fs {
namespace {

constexpr uint64_t kExFatMagic = 0x2011BAB0;

// The type and source of the mount `mountId`, from mountinfo.
bool mountTypeOf(uint64_t mountId, std::string* type, std::string* source) {
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    uint64_t id = 0;
    if (!(fields >> id) || id != mountId) continue;
    size_t dash = line.find(" - ");
    if (dash == std::string::npos) return false;
    std::istringstream rest(line.substr(dash + 3));
    return static_cast<bool>(rest >> *type >> *source);
  }
  return false;
}

std::string fuseFileSystem(const std::string& folder, bool* asciiNamesOnly) {
  struct statx st {};
  if (statx(AT_FDCWD, folder.c_str(), AT_NO_AUTOMOUNT, STATX_MNT_ID, &st) != 0 ||
      (st.stx_mask & STATX_MNT_ID) == 0) {
    return "";
  }
  std::string type, source;
  if (!mountTypeOf(st.stx_mnt_id, &type, &source)) return "";
  *asciiNamesOnly = type == "fuse.fusefat";
  if (type == "fuse.fusefat") return "FAT32";
  if (type == "fuse.exfat" || type == "fuse.exfat-fuse") return "exFAT";
  if (type != "fuseblk" || source.empty() || source[0] != '/') return "";
  // A block device's driver does not say which file system it serves;
  // its boot sector does.
  int fd = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "";
  char sector[512];
  ssize_t n = pread(fd, sector, sizeof sector, 0);
  close(fd);
  return n == sizeof sector ? fileSystemOfBootSector({sector, sizeof sector}) : "";
}

size_t utf16Units(std::string_view utf8) {
  size_t units = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) == 0x80) continue;  // continuation byte
    units += c >= 0xF0 ? 2 : 1;        // outside the BMP: a surrogate pair
  }
  return units;
}

}  // namespace

std::string fileSystemOfBootSector(std::string_view s) {
  if (s.size() < 512 || static_cast<unsigned char>(s[510]) != 0x55 ||
      static_cast<unsigned char>(s[511]) != 0xAA) {
    return "";
  }
  if (s.substr(3, 8) == "EXFAT   ") return "exFAT";
  if (s.substr(82, 5) == "FAT32") return "FAT32";
  if (s.substr(54, 3) == "FAT") return "FAT";
  return "";
}

bool DriveLimits::nameFits(std::string_view name) const {
  return (namesInUtf16 ? utf16Units(name) : name.size()) <= maxNameUnits;
}

DriveLimits driveLimitsOf(const std::string& folder) {
  DriveLimits limits;
  struct statfs fs;
  if (statfs(folder.c_str(), &fs) != 0) return limits;
  uint64_t unit =
      fs.f_frsize > 0 ? static_cast<uint64_t>(fs.f_frsize) : static_cast<uint64_t>(fs.f_bsize);
  limits.clusterBytes = std::max<uint64_t>(unit, 1);
  // Some FUSE file systems report no blocks at all: their free space is
  // not known, which is not the same as none.
  if (fs.f_blocks > 0) limits.freeBytes = static_cast<uint64_t>(fs.f_bavail) * limits.clusterBytes;
  limits.capacityBytes = static_cast<uint64_t>(fs.f_blocks) * limits.clusterBytes;
  switch (static_cast<uint64_t>(fs.f_type)) {
    case MSDOS_SUPER_MAGIC:
      limits.fileSystem = "FAT";
      break;
    case kExFatMagic:
      limits.fileSystem = "exFAT";
      break;
    case FUSE_SUPER_MAGIC:
      limits.fileSystem = fuseFileSystem(folder, &limits.asciiNamesOnly);
      break;
    default:
      break;
  }
  if (limits.fileSystem.rfind("FAT", 0) == 0) limits.maxFileBytes = kFat32MaxFileBytes;
  if (!limits.fileSystem.empty()) limits.namesInUtf16 = true;
  return limits;
}

int64_t timeStepOf(const std::string& path) {
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0) return fs::kFatTimeStepNs;
  switch (static_cast<uint64_t>(fs.f_type)) {
    case MSDOS_SUPER_MAGIC:
    case FUSE_SUPER_MAGIC:  // FAT and exFAT through FUSE drivers (fuse, fuseblk): the coarser
      return fs::kFatTimeStepNs;
    case 0x2011BAB0:  // exFAT
      return fs::kExFatTimeStepNs;
    default:
      return fs::kExactTimeStepNs;
  }
}

}  // namespace fs
