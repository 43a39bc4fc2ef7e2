// The mounted volumes, by index counting from 1 and by reference number.
// A reference number is a signed 16-bit value that stays the same for a
// volume as long as it is mounted. Backend: MountinfoVolumeTable.
//
// Thread: one table per thread.
// Errors: volumeAtIndex answers kNoSuchVolume past the last volume and
// kVolumeUnreadable for an entry that cannot be read; the caller skips
// such an index and goes on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace drive {

struct MountedVolume {
  int16_t refNum = 0;
  std::string name;        // the file system's label, else the mount folder's name
  std::string rootPath;    // the mount point, as an absolute path
  std::string deviceName;  // kernel block device name ("sdb1"); empty when none
};

class VolumeTable {
 public:
  static constexpr int kNoError = 0;
  static constexpr int kNoSuchVolume = -35;
  static constexpr int kVolumeUnreadable = -36;

  virtual ~VolumeTable() = default;
  // Takes a fresh look at what is mounted; indexes refer to that look.
  virtual void rescan() = 0;
  virtual int volumeAtIndex(int index, MountedVolume* volume) const = 0;
  // The mount point of the volume with this reference number, after a
  // fresh look; none when no such volume is mounted.
  virtual std::optional<std::string> rootPathForRefNum(int16_t refNum) = 0;
};

}  // namespace drive
