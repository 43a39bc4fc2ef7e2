// A whole disk as the format command sees it before erasing it: what it
// is (removable, of the product line, its model and size), which of the
// machine's system paths it holds, and its volumes with what they hold and
// who is using them; and the rules that refuse to erase it.
//
// Sources, below the hardware root (HardwarePaths): sysfs for the disk,
// its partitions and the devices stacked on them (device mapper, md),
// mountinfo and swaps for what is in use, proc/PID/{fd,cwd} for open files.
// Thread: pure reads and functions; any thread. Errors: a disk that sysfs
// does not list is a kUsage Status naming it; what cannot be read is left out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Status.h"
#include "drive/HardwarePaths.h"

namespace drive {

// The label a formatted drive gets: the product's output volume name, the
// one the script bridge reports for a new volume.
inline constexpr const char* kFormattedVolumeName = "Corvane";
// Up to this size FAT32 is chosen, as players of the line expect; above it exFAT.
inline constexpr int64_t kLargestFat32Drive = int64_t{32} << 30;

struct FormatVolume {
  std::string device;      // "sdb1", or a stacked "dm-0"
  std::string label;       // the file system's label, "" for none
  std::string mountPoint;  // "" when not mounted
  int64_t usedBytes = 0;
  uint64_t files = 0;                // regular files below the mount point
  std::vector<std::string> holders;  // "vlc (pid 4711)": processes with files open there
  std::string lockHolder;            // set when another process holds the export lock
};

struct FormatTarget {
  std::string disk;  // "sdb"
  std::string model;
  int64_t sizeBytes = 0;
  bool removable = false;
  bool productDrive = false;
  std::vector<std::string> systemPaths;  // "/", "/home", "swap" held by this disk
  std::vector<FormatVolume> volumes;

  // What the owner types to go on: the first label, else the device.
  std::string confirmationName() const;
  // "Erase TESSA MUSIC (VEXTRA-T1, 59.6 GB, 12,345 files, 41 GB used)?"
  std::string question() const;
};

// Reads the disk `disk` ("sdb"); `fakeMounts` prefixes a fake machine's
// mount points where its volumes' folders really are.
base::Result<FormatTarget> readFormatTarget(const HardwarePaths& paths, const std::string& disk,
                                            bool productDrive, const std::string& fakeMounts = "");

// The whole disk a block device ("sdb1", "sdb") belongs to; "" for none.
std::string diskOf(const HardwarePaths& paths, const std::string& device);

// Why the disk must not be erased (kUsage: not to be; kBusy: not now), or ok.
base::Status formatRefusal(const FormatTarget& target, bool anyDrive);

}  // namespace drive
