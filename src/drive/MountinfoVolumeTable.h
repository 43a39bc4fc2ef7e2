// The mounted volumes as /proc/self/mountinfo lists them, one per line in
// the kernel's order, indexes counting from 1.
//
// - Device name: the block device that sysfs lists under dev/block/<major:
//   minor> for the mount, else the mount source's name below /dev/; mounts
//   of no block device (proc, tmpfs, ...) have none.
// - Name: the file system's label from /dev/disk/by-label, else the mount
//   folder's name ("/" for the root).
// - Reference number: derived from the kernel's mount ID, so it stays the
//   same while the volume is mounted; always negative, never 0.
// A line that cannot be parsed is an unreadable volume at its index, and
// so is every mount after the 32768th (no reference number is left).
//
// Thread: one table per thread.
// Errors: an unreadable mountinfo file logs one line and gives an empty
// table; nothing throws.
#pragma once

#include <filesystem>
#include <map>
#include <vector>

#include "drive/VolumeTable.h"

namespace drive {

class MountinfoVolumeTable : public VolumeTable {
 public:
  MountinfoVolumeTable(std::filesystem::path procRoot, std::filesystem::path sysRoot,
                       std::filesystem::path devRoot);

  void rescan() override;
  int volumeAtIndex(int index, MountedVolume* volume) const override;
  std::optional<std::string> rootPathForRefNum(int16_t refNum) override;

  // Undoes the kernel's octal escapes in mountinfo fields ("\040" is a blank).
  static std::string unescapeOctal(const std::string& field);
  // Undoes udev's "\x20" escapes in /dev/disk/by-label names.
  static std::string unescapeHex(const std::string& name);

 private:
  struct Line {
    bool readable = false;
    int mountId = 0;
    MountedVolume volume;
  };
  Line parseLine(const std::string& line, const std::map<std::string, std::string>& labels) const;
  std::map<std::string, std::string> labelsByDevice() const;

  std::filesystem::path procRoot_, sysRoot_, devRoot_;
  std::vector<Line> lines_;
};

}  // namespace drive
