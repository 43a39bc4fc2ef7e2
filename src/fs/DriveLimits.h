// What the file system of a folder can hold: the largest file, the
// longest name, the allocation unit, and the free space when the file
// system tells it. FAT (the kernel's vfat and msdos, FUSE's fusefat, or a
// FUSE block device whose boot sector says FAT) holds files of at most
// 4 GiB - 1 byte; FAT and exFAT hold names of at most 255 UTF-16 units.
// A FUSE block device is told apart by reading its boot sector, when the
// device can be read; otherwise nothing beyond the system's own limits is
// assumed. fusefat takes names of ASCII characters only.
//
// Thread: any thread; it only asks the kernel.
// Errors: a folder that cannot be examined gives the defaults (no limit,
// free space unknown): writing there reports the real reason.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fs {

struct DriveLimits {
  std::string fileSystem;              // "FAT32", "FAT", "exFAT", or empty when not these
  uint64_t maxFileBytes = UINT64_MAX;  // the largest file
  size_t maxNameUnits = 255;           // UTF-16 units per name (bytes elsewhere)
  bool namesInUtf16 = false;           // names are counted in UTF-16 units, not bytes
  bool asciiNamesOnly = false;         // the driver refuses other names (fusefat, with EPERM)
  uint64_t clusterBytes = 1;           // space is taken in these units
  std::optional<uint64_t> freeBytes;   // none: the file system does not tell (no blocks at all)
  uint64_t capacityBytes = 0;          // the whole file system; 0 when it does not tell
  // `bytes` rounded up to whole clusters.
  uint64_t onDisk(uint64_t bytes) const {
    return clusterBytes <= 1 ? bytes : (bytes + clusterBytes - 1) / clusterBytes * clusterBytes;
  }
  // Whether a name of this length fits.
  bool nameFits(std::string_view name) const;
};

DriveLimits driveLimitsOf(const std::string& folder);

// The step at which the file system at `path` keeps modification times
// (kFatTimeStepNs when it cannot be told: the coarser step is the safe
// one, as it takes fewer files for changed).
int64_t timeStepOf(const std::string& path);

// The file system a FAT or exFAT boot sector (its first 512 bytes)
// describes: "FAT32", "FAT", "exFAT", or empty.
std::string fileSystemOfBootSector(std::string_view sector);

inline constexpr uint64_t kFat32MaxFileBytes = (uint64_t{1} << 32) - 1;

}  // namespace fs
