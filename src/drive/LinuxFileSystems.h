// The file systems this Linux machine can mount, described as the Mac
// describes its file system bundles, so that the catalogue and the disk
// tool's reports use one vocabulary.
//
// A file system family counts as installed when its kernel driver is
// known to the kernel (<root>/proc/filesystems), present as a module
// under <root>/lib/modules/<release>/kernel/fs/<dir>/ (plain or
// compressed .ko, or listed in modules.builtin; <release> is read from
// <root>/proc/sys/kernel/osrelease), or, for FUSE drivers, when its mount
// helper is on the search path. Each installed family is one bundle;
// its path in the log is the evidence found (the module folder, the
// helper, or /proc/filesystems).
//
//   family    personalities (content hint)                       formatter
//   FAT       "MS-DOS" (DOS_FAT_32), "MS-DOS FAT12" (DOS_FAT_12), mkfs.fat, mkfs.vfat,
//             "MS-DOS FAT16" (DOS_FAT_16), "MS-DOS FAT32"         mkdosfs
//             (DOS_FAT_32)
//   exFAT     "ExFAT" (no hint: its MBR type is NTFS's, and      mkfs.exfat, mkexfatfs
//             claiming "Windows_NTFS" would make NTFS volumes
//             look formattable)
//   NTFS-3G   "NTFS-3G" (Windows_NTFS), FUSE helper ntfs-3g       mkfs.ntfs, mkntfs
//   NTFS      "NTFS" (Windows_NTFS), kernel ntfs3 or ntfs; it     mkfs.ntfs, mkntfs
//             can format only with the writing driver ntfs3
//   HFS       "HFS" (no hint, never formats)
//   HFS+      "HFS+", "Journaled HFS+" (Apple_HFS),               mkfs.hfsplus, mkfs.hfs+
//             "Case-sensitive HFS+", "Case-sensitive Journaled
//             HFS+" (Apple_HFSX)
//   ext       "ext2", "ext3", "ext4" (no hint)                    mkfs.ext4 etc.
// A personality can format when its formatter is installed; its
// "FSFormatExecutable" is then the formatter's path, else absent.
// NTFS-3G is listed before the kernel NTFS, so the content hint
// "Windows_NTFS" follows the kernel driver, which DisableDriver does not
// switch off.
//
// The NTFS-3G settings file: NTFS-3G on Linux keeps no settings of its
// own, so the switch lives in <root>/etc/tessaline/ntfs-3g.plist, a
// property list whose "DisableDriver" string "1" tells this program not
// to offer NTFS-3G for formatting.
//
// The search path for helpers and formatters is $PATH followed by
// /usr/local/sbin, /usr/local/bin, /usr/sbin, /usr/bin, /sbin, /bin, each
// looked up below <root>.
//
// Thread: see FileSystemBundleSource.h.
// Errors: unreadable files count as absent.
#pragma once

#include <string>
#include <vector>

#include "drive/FileSystemBundleSource.h"

namespace drive {

class LinuxFileSystems : public FileSystemBundleSource {
 public:
  static constexpr const char* kNtfs3gSettings = "/etc/tessaline/ntfs-3g.plist";

  // `searchPath`: folders for helpers and formatters; empty means the
  // default described above.
  explicit LinuxFileSystems(std::string root = "/", std::vector<std::string> searchPath = {});

  std::vector<FSBundleDescription> bundles() override;
  bool ntfs3gDriverDisabled() override;

 private:
  std::string under(const std::string& path) const;
  // The evidence path when the kernel can mount `type`, else empty.
  std::string kernelDriver(const std::string& type, const std::string& moduleDir,
                           const std::string& module) const;
  // The program's path (below the root) when installed, else empty.
  std::string program(const std::vector<std::string>& names) const;

  std::string root_;
  std::vector<std::string> searchPath_;
  std::string release_;
  std::vector<std::string> procFilesystems_;
  std::string builtin_;
};

}  // namespace drive
