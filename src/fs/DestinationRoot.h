// The folder a run writes into (a drive's root, or a folder the user
// named), opened once when the run starts. Everything the run creates,
// writes, renames or removes is reached from this handle, one component
// at a time and never through a symbolic link, so that
//   - nothing is ever written above or beside it: the root itself and the
//     folders above it are never created (a drive that was never mounted,
//     or whose mount folder vanished, makes the run fail instead of
//     filling the system disk);
//   - a drive pulled or unmounted mid-run is noticed: check() compares the
//     folder now standing at the root's path with the one opened (device
//     and inode), and once it has failed it keeps failing;
//   - a link planted under the root never leads a write elsewhere.
//
// The root also keeps the exporter's own state in a hidden folder
// (kStateFolder): the record of every file the exporter committed (one
// path relative to the root per line), which lets a clean-up tell its
// own files from the user's, and the lock that keeps the exports of two
// processes apart (RootLock). The record by identity beside it is
// DriveRecord's.
//
// Thread: immutable after open() apart from the sticky "gone" flag, which
// is atomic; safe from any thread. The descriptor lives as long as the
// object.
// Errors: values are errno codes (0: none); ENODEV stands for "the drive
// was removed".
#pragma once

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/Path.h"
#include "base/TextHash.h"
#include "fs/FileManager.h"
#include "fs/RootLock.h"

namespace fs {

// Paths, looked up by any text.
using PathSet = base::TextSet;

class DestinationRoot {
 public:
  static constexpr const char* kStateFolder = ".tessaline";
  static constexpr const char* kRecordFile = "written";
  static constexpr const char* kLockFile = "lock";

  // Opens the existing folder at `path` (following links in the path
  // itself, as a mount point may be reached through one). Never creates
  // it: when it cannot be opened, the object says why (openError) and
  // every operation through it fails with that error.
  static std::shared_ptr<DestinationRoot> open(const std::string& path);
  ~DestinationRoot();
  DestinationRoot(const DestinationRoot&) = delete;
  DestinationRoot& operator=(const DestinationRoot&) = delete;

  const std::string& path() const { return path_; }
  bool isOpen() const { return fd_ >= 0; }
  const base::FileError& openError() const { return openError_; }
  int fd() const { return fd_; }

  // 0 while the folder at path() is the one opened; else ENODEV (or the
  // open error), for good.
  int check() const;
  // Fills *error for a failure of this root (code from check()).
  void describe(int code, const std::string& item, base::FileError* error) const;

  // `absolute` relative to the root ("" for the root itself); none when
  // it does not lie below the root or has an empty, "." or ".." component.
  std::optional<std::string> relativePath(std::string_view absolute) const;

  // A descriptor of the folder `relative` below the root (the caller
  // closes it), or -errno. With `create`, missing folders below the root
  // are made. A symbolic link on the way fails with ELOOP, a file with
  // ENOTDIR.
  int openFolder(std::string_view relative, bool create) const;
  // One step of openFolder: the folder `name` (a single component) in the
  // open folder `folder`, made when missing with `create`; a descriptor
  // or -errno, with the same refusals. Callers that walk many folders
  // keep the descriptors of the folders above and check() the root
  // themselves. `made` (when given) is set when this call made the folder.
  // `likelyMissing` (the folder above was just made) tries making it
  // first, which saves the failed open; the answer is the same.
  static int openChild(int folder, const std::string& name, bool create, bool* made = nullptr,
                       bool likelyMissing = false);

  // Appends paths (relative to the root) to the record of written files,
  // in one write; with `flush`, waits until it is on the disk. Returns 0
  // or an errno value.
  int record(const std::vector<std::string>& relativePaths, bool flush) const;
  // Every path the record holds (empty when there is none).
  PathSet readRecord() const;
  // Takes paths out of the record (they were deleted): the record is
  // written anew beside the old one, flushed and renamed over it, so a
  // failure or a kill leaves the old record whole. Returns 0 or an errno
  // value.
  int forget(const std::vector<std::string>& relativePaths) const;

  // Takes the lock of the root's state folder without waiting: 0, or
  // EWOULDBLOCK when another process holds it (its process number in
  // *holder when known), or another errno value. Held until the object
  // goes. Every holder in this process shares one lock (RootLock): a
  // second root object on the same folder gets 0, not EWOULDBLOCK.
  int lock(std::string* holder);
  // A share of that lock for a writer of its own (the record), creating
  // the state folder when missing; the Status names the lock file.
  base::Result<RootLock> shareLock(std::string* holder) const;
  // The lock of the export that `tracksFolder` belongs to, for the writers
  // scripts drive: when that folder is an export's "Music", its parent's
  // lock, which the command line and the window take too; none (an empty
  // result, code 0) for a folder of another name, which no export of
  // theirs writes. EWOULDBLOCK while another process exports there.
  static std::optional<base::Result<RootLock>> lockExportOf(const std::string& tracksFolder,
                                                            std::string* holder);

  // The export root `tracksFolder` belongs to (its real parent when it is
  // an export's "Music"), with the folder's own name as the drive spells
  // it in *tracksName; none for a folder of another name.
  static std::optional<std::string> exportRootOf(const std::string& tracksFolder,
                                                 std::string* tracksName);
  // A line of the record of written files back to the path it stands for.
  static std::string decodeRecordLine(std::string_view line);

  // Temporaries (".tessaline-partial-TOKEN.N-name") and files set aside
  // (".tessaline-aside-name") are the exporter's only where its intents
  // say so: this process's token is noted once per root before its first
  // temporary is made, and each aside path before it is set aside.
  // Returns 0 or an errno value; a temporary is never made without it.
  static const std::string& runToken();
  int noteTemporaries() const;
  int noteAside(const std::string& relative) const;
  // The intents noted ("run TOKEN", "aside PATH"), and their removal once
  // what they name is settled.
  std::unordered_set<std::string> intents() const;
  int clearIntents() const;
  // The token of a temporary's name; empty for another name.
  static std::string_view tokenOf(std::string_view name);

 private:
  DestinationRoot() = default;
  int openStateFolder(bool create) const;

  std::string path_;
  int fd_ = -1;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  base::FileError openError_;
  mutable std::atomic<bool> gone_{false};
  mutable std::atomic<bool> noted_{false};
  int appendIntent(const std::string& line) const;
  // A state file's text (none when missing, unreadable, not a plain file
  // or larger than `limit`).
  std::optional<std::string> readState(const char* name, size_t limit) const;
  std::optional<RootLock> lock_;
};

}  // namespace fs
