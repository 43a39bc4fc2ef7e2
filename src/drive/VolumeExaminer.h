// What the drive scan needs to know about one volume of a candidate
// drive: its file system (display name, the Mac's personality, partition
// content tag), sizes, cluster size, UUID and verdicts. Backend:
// LinuxVolumeExaminer (sysfs, udev, blkid, mountinfo, statvfs); tests
// answer from memory.
//
// Thread: the scanning thread; may block while the volume is examined.
// Errors: inspection never fails; what cannot be found stays absent or
// false, which the scan shows as an unusable volume.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace drive {

struct VolumeVerdict {
  std::optional<std::string> fsName;
  std::optional<int64_t> totalBytes;
  std::optional<int64_t> freeBytes;
  bool fsIsWritable = false;
  bool fsIsCompatible = false;
  bool fsIsNTFS = false;
  bool fsLimit4G = false;
  std::optional<std::string> personality;  // "MS-DOS FAT32", as the Mac's disk tool names it
  std::optional<std::string> contentTag;   // "DOS_FAT_32"; "" on a disk without a table
  std::optional<std::string> fsType;       // the Linux type ("vfat", "ntfs3", "fuseblk")
  std::optional<int64_t> clusterBytes;     // allocation unit of the file system
  std::optional<std::string> uuid;         // the file system's UUID or serial
};

class VolumeExaminer {
 public:
  virtual ~VolumeExaminer() = default;
  virtual VolumeVerdict inspect(const std::string& deviceName) = 0;
};

}  // namespace drive
