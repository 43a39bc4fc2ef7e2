// The mounted volumes as /proc/self/mountinfo lists them, one per line in
// the kernel's order, indexes counting from 1. Only mounts of a file
// system's root (root field "/") are volumes: bind mounts of a folder
// (and subvolume mounts, whose root field names the subvolume) are left
// out and take no index.
//
// - Device name: the block device that sysfs lists under dev/block/<major:
//   minor> for the mount, else the mount source's name below /dev/; mounts
//   of no block device (proc, tmpfs, ...) have none.
// - Name: the file system's label from /dev/disk/by-label, else the mount
//   folder's name ("/" for the root).
// - Reference number: derived from the kernel's mount ID, so it stays the
//   same while the volume is mounted; always negative, never 0. There are
//   32,768 of them: a volume met after all are taken is an unreadable
//   volume at its index, and one line tells how many were left out.
// A line that cannot be parsed is an unreadable volume at its index.
//
// Thread: one table per thread.
// Errors: an unreadable mountinfo file logs one line and gives an empty
// table; nothing throws.
#pragma once

#include <filesystem>
#include <map>
#include <string_view>
#include <vector>

#include "drive/VolumeTable.h"

namespace drive {

class MountinfoVolumeTable : public VolumeTable {
 public:
  MountinfoVolumeTable(std::filesystem::path procRoot, std::filesystem::path sysRoot,
                       std::filesystem::path devRoot);

  void rescan() override;
  // Rebuilds the table from mountinfo text read elsewhere, as rescan()
  // does from the file (devices and labels still come from the roots).
  void rescanText(std::string_view mountinfo);
  int volumeAtIndex(int index, MountedVolume* volume) const override;
  std::optional<std::string> rootPathForRefNum(int16_t refNum) override;

 private:
  struct Line {
    bool readable = false;
    bool notAVolume = false;  // a mount of a folder, not of a file system's root
    int mountId = 0;
    MountedVolume volume;
  };
  Line parseLine(const std::string& line, const std::map<std::string, std::string>& labels) const;
  std::map<std::string, std::string> labelsByDevice() const;

  std::filesystem::path procRoot_, sysRoot_, devRoot_;
  std::vector<Line> lines_;
};

}  // namespace drive
