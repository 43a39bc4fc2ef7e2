// What the disk tool reports about one volume (partition) of a candidate
// drive: its file system's display name, partition content tag, total
// and free bytes, and four verdicts: writable, usable by the export
// (compatible), NTFS, limited to 4 GB files (FAT32), judged by the rules
// the drive scan uses too (VolumeJudgement.h). Scripts use it; the
// program's own drive scan (DriveScanner.h) reads no report.
//
// The report comes from `diskutil info -plist SLICE`, or from the text
// form `diskutil info SLICE` when the first answer is not a property
// list. The tool is, in this order: the program named by the environment
// variable TESSALINE_DISKUTIL; /usr/sbin/diskutil where it exists (a
// Mac); this program's own `diskutil` command when the running program
// is `tessaline` (cli/DiskutilCommand.h); else `tessaline diskutil` from
// the search path. The slice name is passed single-quoted, so that no
// character of it reaches the shell as syntax.
//
// Sizes: a report whose total or free size is negative, not a number or
// above 2^60 bytes is implausible: the size is dropped (nil), every
// verdict is false (the volume is unusable) and one line is logged.
//
// Thread: an object is inspected on the thread that calls
// initWithSliceName (a script's session thread), which blocks
// while the tool runs. The five object fields have locked (atomic)
// accessors; the flags have plain ones.
// Ownership: the object owns what its fields hold.
// Errors: none escape initWithSliceName; a failed or unreadable report
// leaves the fields nil and the verdicts false.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/Guarded.h"
#include "drive/VolumeJudgement.h"

namespace finder {

class FSNamesAndTags;

// Runs one shell command line: returns the status (0 exactly when the
// command exited with 0) and stores its output, none when it printed
// nothing.
using ShellRunner =
    std::function<int(const std::string& command, std::optional<std::string>* output)>;

class TessalineVolume {
 public:
  // Every string and number nil, every flag false. Commands run through
  // `runner` (the script bridge passes export/ExecOnThread's; the drive
  // layer itself starts no process); names come from `catalogue`, null:
  // FSNamesAndTags::sharedManager(). An empty runner runs nothing: the
  // inspection fails as a failed command does, and says so in the log.
  explicit TessalineVolume(ShellRunner runner, const FSNamesAndTags* catalogue = nullptr);
  TessalineVolume(const TessalineVolume&) = delete;
  TessalineVolume& operator=(const TessalineVolume&) = delete;

  // Stores the slice name, inspects the volume, returns the object.
  TessalineVolume& initWithSliceName(const std::string& sliceName);
  // Inspection from the property-list report (falls back to the text).
  void initFSVars10_5();
  // Inspection from the text report.
  void initFSVars10_4();

  // "500.1 GB (500107862016 Bytes)" -> 5001 * 2^30 / 10: the leading
  // number in tenths (single precision), scaled by the binary unit that
  // follows ("TB"/"Ti", "GB"/"Gi", "MB"/"Mi", "KB"/"Ki"; any other token
  // leaves bytes), divided by ten. No leading number gives 0; a value
  // that does not fit in 64 bits gives -1.
  static int64_t parseDiskSize(const std::string& sizeText);

  // The disk tool command prefix, as described above.
  static std::string diskToolCommand();
  // `text` in single quotes, each ' written as '\''.
  static std::string shellQuoted(const std::string& text);

  std::string diskSlice() const;
  void setDiskSlice(const std::string& slice);
  std::optional<std::string> fsName() const;
  void setFsName(const std::optional<std::string>& name);
  std::optional<std::string> contentTag() const;
  void setContentTag(const std::optional<std::string>& tag);
  std::optional<int64_t> totalBytes() const;
  void setTotalBytes(std::optional<int64_t> bytes);
  std::optional<int64_t> freeBytes() const;
  void setFreeBytes(std::optional<int64_t> bytes);

  bool fsIsWritable() const { return fsIsWritable_; }
  void setFsIsWritable(bool v) { fsIsWritable_ = v; }
  bool fsIsCompatible() const { return fsIsCompatible_; }
  void setFsIsCompatible(bool v) { fsIsCompatible_ = v; }
  bool fsIsNTFS() const { return fsIsNTFS_; }
  void setFsIsNTFS(bool v) { fsIsNTFS_ = v; }
  bool fsLimit4G() const { return fsLimit4G_; }
  void setFsLimit4G(bool v) { fsLimit4G_ = v; }

  static constexpr int64_t kLargestPlausibleSize = drive::kLargestPlausibleSize;

 private:
  const FSNamesAndTags& catalogue() const;
  int run(const std::string& command, std::optional<std::string>* output) const;
  void classify(const std::optional<std::string>& personality);
  void dropImplausibleSizes();

  ShellRunner runner_;
  const FSNamesAndTags* catalogue_ = nullptr;

  base::Guarded<std::string> diskSlice_;
  base::Guarded<std::optional<std::string>> fsName_;
  base::Guarded<std::optional<std::string>> contentTag_;
  base::Guarded<std::optional<int64_t>> totalBytes_;
  base::Guarded<std::optional<int64_t>> freeBytes_;
  bool fsIsWritable_ = false;
  bool fsIsCompatible_ = false;
  bool fsIsNTFS_ = false;
  bool fsLimit4G_ = false;
};

}  // namespace finder
