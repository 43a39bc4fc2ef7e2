// Read access to a sysfs tree rooted at a given directory ("/sys" on a
// live system, DIR/sys in a fake hardware tree). Symbolic links are
// followed only while they stay inside the root, so a fake tree cannot
// lead the readers out into the real system.
//
// The tree's file system access is two virtual steps, resolving a path
// and reading a resolved file, so that a subclass can serve some files
// from memory while the readers above stay as they are.
//
// Thread: immutable; safe from any thread (subclasses must keep it so).
// Errors: every reader answers none for what is missing, unreadable,
// oversized or (text readers) not plain text; nothing throws.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace drive {

class SysfsTree {
 public:
  explicit SysfsTree(std::filesystem::path root);
  virtual ~SysfsTree() = default;

  const std::filesystem::path& root() const { return root_; }

  // The canonical form of `path` if it exists and lies inside the root.
  virtual std::optional<std::filesystem::path> resolve(const std::filesystem::path& path) const;

  // An attribute file's text without its final line break; none when it
  // is absent, larger than a page, or holds NUL or other control bytes.
  std::optional<std::string> readAttribute(const std::filesystem::path& path) const;

  // A binary attribute's bytes (a VPD page); none when it is absent or
  // larger than a page.
  std::optional<std::string> readBinaryAttribute(const std::filesystem::path& path) const;

  // The attribute text with blanks trimmed at both ends (sysfs pads
  // fixed-width fields such as the SCSI vendor with blanks).
  std::optional<std::string> readTrimmedAttribute(const std::filesystem::path& path) const;

  // The one block device a device directory carries in its block/
  // folder (a SCSI disk's "sdb"); none when there is not exactly one.
  static std::optional<std::string> blockDeviceBelow(const std::filesystem::path& deviceDir);

  // A kernel device name is one non-empty path component ("sdb1").
  static bool isPlausibleDeviceName(const std::string& name);

 protected:
  // The bytes of the regular file at `resolved` (a path that resolve()
  // answered); none when it holds more than `limit` bytes, is not a
  // regular file or cannot be read.
  virtual std::optional<std::string> readFile(const std::filesystem::path& resolved,
                                              size_t limit) const;

 private:
  std::filesystem::path root_;
};

}  // namespace drive
