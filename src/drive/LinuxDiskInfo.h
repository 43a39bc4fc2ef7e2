// What this Linux machine knows about one block device, in the terms of
// the Mac's disk tool: file system personality ("MS-DOS FAT32", "NTFS",
// "Journaled HFS+"...), partition content tag ("DOS_FAT_32",
// "Windows_NTFS", "Apple_HFS", "Microsoft Basic Data"...), writability,
// total and free bytes, cluster size and the file system's UUID. The
// drive scan judges volumes from it; `tessaline diskutil` prints it.
//
// Sources, all read below a root folder (the real "/" or a fake machine,
// see FileSystemBundleSource::machineRoot):
//   <root>/sys/class/block/NAME/{dev,size,ro,partition}  the device, its
//       size in 512-byte sectors, read-only flag, whether a partition;
//   <root>/run/udev/data/bMAJ:MIN   udev's probe results (ID_FS_TYPE,
//       ID_FS_VERSION, ID_FS_LABEL_ENC, ID_FS_UUID, ID_PART_ENTRY_TYPE,
//       ID_PART_TABLE_TYPE), readable without privileges;
//   libblkid, probing <root>/dev/NAME, for what udev lacks (when the
//       device can be read);
//   <root>/proc/self/mountinfo   the mount point, type and rw/ro options;
//   statvfs of the mount point on the real machine; on a fake machine
//       the file <root>/statvfs instead, one line per mount point:
//         MOUNT_POINT TOTAL_BYTES FREE_BYTES [CLUSTER_BYTES]
//       with the mount point escaped as mountinfo escapes it (\040 for a
//       blank).
// Free space is what an unprivileged writer may use (f_bavail); the
// cluster size is the file system's block (f_bsize: a FAT cluster), known
// only for a mounted volume.
//
// Thread: pure reads; any thread.
// Errors: a name that is not a block device of this machine (or that
// tries to leave /dev: "..", "/") gives a Status naming it, "Could not
// find disk: sdz".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/Status.h"

namespace drive {

struct DiskInfo {
  std::string deviceIdentifier;  // "sdb1"
  std::string deviceNode;        // "/dev/sdb1"
  bool wholeDisk = false;
  std::optional<std::string> personality;  // FilesystemName
  std::optional<std::string> fsType;       // the Linux type ("vfat", "ntfs3", "fuseblk")
  std::string content;                     // partition content tag, "" without a table
  std::optional<std::string> volumeName;
  std::optional<std::string> mountPoint;
  bool writable = false;
  int64_t totalSize = 0;
  int64_t freeSpace = 0;
  std::optional<int64_t> clusterSize;
  std::optional<std::string> uuid;
};

class LinuxDiskInfo {
 public:
  explicit LinuxDiskInfo(std::string root);

  base::Result<DiskInfo> info(const std::string& device) const;

  // The Mac's personality for a Linux file system type and FAT variant.
  static std::optional<std::string> personalityFor(const std::string& type,
                                                   const std::string& version);
  // The Mac's content tag for an MBR type ("0xc") or GPT type GUID.
  static std::string contentFor(const std::string& partEntryType);

 private:
  std::string under(const std::string& path) const;
  std::string root_;
};

}  // namespace drive
