#include "drive/LinuxFileSystems.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "base/Configuration.h"
#include "base/WholeFile.h"
#include "drive/PropertyList.h"

namespace drive {
namespace stdfs = std::filesystem;

namespace {

std::string readSysText(const std::string& path) {
  auto read = base::readWholeFile(path, base::kSmallFileLimit);
  return read ? std::move(*read) : std::string();
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

bool isFile(const std::string& path) {
  std::error_code ec;
  return stdfs::is_regular_file(path, ec);
}

FSPersonality personality(const char* hint, const std::string& formatter, const char* name) {
  FSPersonality p;
  if (hint != nullptr) p.formatContentMask = hint;
  if (!formatter.empty()) p.formatExecutable = formatter;
  p.name = name;
  return p;
}

}  // namespace

LinuxFileSystems::LinuxFileSystems(std::string root, std::vector<std::string> searchPath)
    : root_(std::move(root)), searchPath_(std::move(searchPath)) {
  if (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  if (searchPath_.empty()) {
    if (auto config = base::configuration(); !config->searchPath.empty()) {
      std::stringstream ss(config->searchPath);
      for (std::string dir; std::getline(ss, dir, ':');) {
        if (!dir.empty() && dir[0] == '/') searchPath_.push_back(dir);
      }
    }
    for (const char* dir :
         {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
      searchPath_.push_back(dir);
    }
  }
  release_ = trimmed(readSysText(under("/proc/sys/kernel/osrelease")));
  if (release_.empty() && root_ == "/") {
    struct utsname u {};
    if (uname(&u) == 0) release_ = u.release;
  }
  std::stringstream lines(readSysText(under("/proc/filesystems")));
  for (std::string line; std::getline(lines, line);) {
    // "nodev\tsysfs" or "\text4": only drivers that mount block devices.
    if (line.rfind("nodev", 0) == 0) continue;
    std::string type = trimmed(line);
    size_t start = type.find_first_not_of(" \t");
    if (start != std::string::npos) procFilesystems_.push_back(type.substr(start));
  }
  if (!release_.empty())
    builtin_ = readSysText(under("/lib/modules/" + release_ + "/modules.builtin"));
}

std::string LinuxFileSystems::under(const std::string& path) const {
  return root_ == "/" ? path : root_ + path;
}

std::string LinuxFileSystems::kernelDriver(const std::string& type, const std::string& moduleDir,
                                           const std::string& module) const {
  if (!release_.empty()) {
    std::string dir = under("/lib/modules/" + release_ + "/kernel/fs/" + moduleDir);
    for (const char* ext : {".ko", ".ko.xz", ".ko.zst", ".ko.gz"}) {
      if (isFile(dir + "/" + module + ext)) return dir;
    }
    if (builtin_.find("kernel/fs/" + moduleDir + "/" + module + ".ko") != std::string::npos) {
      return under("/lib/modules/" + release_ + "/modules.builtin");
    }
  }
  for (const auto& t : procFilesystems_) {
    if (t == type) return under("/proc/filesystems");
  }
  return {};
}

std::string LinuxFileSystems::program(const std::vector<std::string>& names) const {
  for (const auto& name : names) {
    for (const auto& dir : searchPath_) {
      std::string path = under(dir + "/" + name);
      if (isFile(path) && ::access(path.c_str(), X_OK) == 0) return path;
    }
  }
  return {};
}

std::vector<FSBundleDescription> LinuxFileSystems::bundles() {
  std::vector<FSBundleDescription> result;
  auto add = [&](const std::string& evidence, FSPersonalityList list) {
    FSBundleDescription d;
    d.path = evidence;
    d.descriptionPath = evidence;
    d.rawPersonalities = list;
    d.bundlePersonalities = std::move(list);
    result.push_back(std::move(d));
  };

  if (auto fat = kernelDriver("vfat", "fat", "vfat"); !fat.empty()) {
    std::string mkfs = program({"mkfs.fat", "mkfs.vfat", "mkdosfs"});
    add(fat, {{"MS-DOS", personality("DOS_FAT_32", mkfs, "MS-DOS (FAT)")},
              {"MS-DOS FAT12", personality("DOS_FAT_12", mkfs, "MS-DOS (FAT12)")},
              {"MS-DOS FAT16", personality("DOS_FAT_16", mkfs, "MS-DOS (FAT16)")},
              {"MS-DOS FAT32", personality("DOS_FAT_32", mkfs, "MS-DOS (FAT32)")}});
  }

  std::string exfat = kernelDriver("exfat", "exfat", "exfat");
  if (exfat.empty()) exfat = program({"mount.exfat-fuse", "mount.exfat"});
  if (!exfat.empty()) {
    add(exfat, {{"ExFAT", personality(nullptr, program({"mkfs.exfat", "mkexfatfs"}), "ExFAT")}});
  }

  std::string mkntfs = program({"mkfs.ntfs", "mkntfs"});
  if (auto ntfs3g = program({"ntfs-3g", "mount.ntfs-3g", "lowntfs-3g"}); !ntfs3g.empty()) {
    add(ntfs3g,
        {{"NTFS-3G", personality("Windows_NTFS", mkntfs, "Windows NT File System (NTFS-3G)")}});
  }
  std::string ntfs3 = kernelDriver("ntfs3", "ntfs3", "ntfs3");
  std::string ntfsOld = ntfs3.empty() ? kernelDriver("ntfs", "ntfs", "ntfs") : std::string();
  if (!ntfs3.empty() || !ntfsOld.empty()) {
    // The old kernel driver only reads; formatting for it would give a
    // volume that cannot be written.
    add(ntfs3.empty() ? ntfsOld : ntfs3,
        {{"NTFS", personality("Windows_NTFS", ntfs3.empty() ? std::string() : mkntfs,
                              "Windows NT File System (NTFS)")}});
  }

  if (auto hfs = kernelDriver("hfs", "hfs", "hfs"); !hfs.empty()) {
    add(hfs, {{"HFS", personality(nullptr, {}, "Mac OS Standard")}});
  }
  if (auto hfsplus = kernelDriver("hfsplus", "hfsplus", "hfsplus"); !hfsplus.empty()) {
    std::string mkfs = program({"mkfs.hfsplus", "mkfs.hfs+"});
    add(hfsplus,
        {{"HFS+", personality("Apple_HFS", mkfs, "Mac OS Extended")},
         {"Journaled HFS+", personality("Apple_HFS", mkfs, "Mac OS Extended (Journaled)")},
         {"Case-sensitive HFS+",
          personality("Apple_HFSX", mkfs, "Mac OS Extended (Case-sensitive)")},
         {"Case-sensitive Journaled HFS+",
          personality("Apple_HFSX", mkfs, "Mac OS Extended (Case-sensitive, Journaled)")}});
  }

  if (auto ext = kernelDriver("ext4", "ext4", "ext4"); !ext.empty()) {
    add(ext, {{"ext2", personality(nullptr, program({"mkfs.ext2"}), "Linux ext2")},
              {"ext3", personality(nullptr, program({"mkfs.ext3"}), "Linux ext3")},
              {"ext4", personality(nullptr, program({"mkfs.ext4"}), "Linux ext4")}});
  }
  return result;
}

bool LinuxFileSystems::ntfs3gDriverDisabled() {
  return settingsDisableDriver(under(kNtfs3gSettings));
}

}  // namespace drive
