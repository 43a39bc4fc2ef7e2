// The file manager: the file operations the catalogue and the export runs
// rely on, behind an interface with
//   - the POSIX implementation (PosixFileManager), used as the shared
//     default instance and for the private instances made per operation;
//   - a fault-injecting implementation for tests (FaultInjectingFileManager,
//     in tests/support/FaultInjectingFileManager.h).
// In the style of LevelDB's Env: the export session reaches the drive's
// and the sources' files through one handed to it. The drive's own state
// files (record, lock, intents: DestinationRoot, DriveRecord) and the
// check's reads do not go through it yet.
//
// Paths are UTF-8 byte strings, absolute. Nothing here follows a
// symbolic link unless it says so.
//
// Thread: every implementation may be used from several threads at once.
// Errors: operations that can fail return false (or none) and, when
// `error` is given, fill it with an errno code and a localised
// description that names the file, for the log lines of the callers.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/Status.h"

namespace fs {

using FileError = base::FileError;

enum class FileType { kRegular, kDirectory, kSymbolicLink, kOther };

struct FileAttributes {
  FileType type = FileType::kOther;
  uint64_t size = 0;               // bytes
  int64_t modificationTimeNs = 0;  // since the epoch
};

class CopyBatch;
class DestinationRoot;

// Looks at items that failed for a reason other than their absence (an
// I/O error, a refused permission): the callers take such an item as not
// there, which is safe, and these let them still tell the owner what
// could not be looked at. One entry per path, in the order met.
class LookFailures {
 public:
  void add(int code, const std::string& path);
  std::vector<base::FileError> all() const;

 private:
  mutable std::mutex mutex_;
  std::vector<base::FileError> failures_;
  std::unordered_set<std::string> paths_;
};
class ReadableFile;
class FolderListings;

// How a batch's copies are made.
struct CopyBatchOptions {
  // The folder the copies go below: their folders are made below it and
  // nothing is reached through a symbolic link; each committed copy is
  // added to its record of written files before it gets its name. None:
  // plain paths, folders must exist (tests and tools).
  std::shared_ptr<const DestinationRoot> root;
  // When it reads true, a copy under way stops (ECANCELED) and its
  // temporary goes.
  const std::atomic<bool>* stop = nullptr;
  // Called before each chunk of a copy is written, with the bytes already
  // written and the chunk's length, which it may shorten; a nonzero return
  // (an errno value) fails the copy there. The fault injector fills the
  // disk half-way with it. Managers without chunks ignore it.
  std::function<int(uint64_t written, uint64_t* length)> chunkGate;
  // Bytes of copies written so far, raised chunk by chunk as the data goes
  // out and lowered again for copies that fail or are dropped: progress
  // that moves within a large file, not only once a batch is named.
  std::atomic<uint64_t>* bytesWritten = nullptr;
  // Copies are named over what stands at their destination (a repair of
  // the exporter's own copy, through the same temporary and rename)
  // instead of failing when something is there.
  bool replace = false;
  // Each copy's content is hashed (ContentHash) while it is written, and
  // the checksum handed to beforeNaming; the data then goes through the
  // process instead of copy_file_range, so only callers that keep it ask.
  bool checksum = false;
  // Called once the batch's copies are written and before they are
  // flushed and named, with each copy's destination and the size and time
  // of its finished temporary, which naming keeps: whoever keeps a record
  // of the files writes it first, so that no file is ever named
  // unrecorded. The batch's flush of the file system carries the record
  // along, unless `flush` says the caller must flush it itself (a batch of
  // a few files, flushed one by one). A nonzero errno value fails the
  // whole batch, and nothing is named. The folders the batch made below
  // its root since the last such call come first, marked `folder`, so
  // that they too are known as the exporter's own.
  struct Staged {
    std::string to;
    uint64_t size = 0;
    int64_t modificationTimeNs = 0;
    std::optional<uint64_t> checksum;  // with `checksum` asked
    bool folder = false;
    // The source as the copy read it (copies only).
    uint64_t sourceSize = 0;
    int64_t sourceTimeNs = 0;
  };
  std::function<int(const std::vector<Staged>&, bool flush)> beforeNaming;
};

// How large the batches of a copy run grow. A batch closes at whichever
// limit it reaches first. Flushing many files at once is what makes a run
// fast (each flush of the file system waits for its journal); the first
// batches are small so that the first tracks are committed soon, and each
// one after doubles its limits up to the largest. Progress moves with the
// bytes written, so the limits only bound how much a stop or a failed
// flush has to take back.
struct CopyBatchLimits {
  static constexpr size_t kFirstCopies = 64;
  static constexpr size_t kMaxCopies = 1024;
  static constexpr uint64_t kFirstBytes = 64ull << 20;
  static constexpr uint64_t kMaxBytes = 256ull << 20;
};

// The code of a copy whose source is not a regular file (a pipe, a device,
// a socket): such a source is refused before it is read.
inline constexpr int kNotRegularFile = EINVAL;

// The steps by which a file the exporter writes becomes the drive's, in
// their order: kWritten, its data is in the temporary; kRecorded, it goes
// into the record of written files; kFlushed, its data is flushed;
// kNamed, it gets its name; kNamesFlushed, the flush (once per file
// system) that makes new names durable; a file counts only after it.
enum class CopyStep { kWritten, kRecorded, kFlushed, kNamed, kNamesFlushed };

// What removeItemBelowRoot may remove.
enum class RemoveKind { kFile, kEmptyFolder };

struct DirectoryEntry {
  std::string name;  // one component, never "." or ".."
  FileType type = FileType::kOther;
};

// One item below a walked folder: its path relative to that folder and its
// own attributes (a link is a link, never its target).
struct TreeItem {
  std::string relative;
  FileAttributes attributes;
};

class FileManager {
 public:
  virtual ~FileManager() = default;

  // The shared default instance.
  static std::shared_ptr<FileManager> defaultManager();
  // A private instance for one operation (a new POSIX manager, or what a
  // test installed with setFactoryForTesting).
  static std::shared_ptr<FileManager> makePrivate();
  // Tests only: replaces the default instance and the private-instance
  // factory; pass none to restore the POSIX ones.
  static void setDefaultForTesting(std::shared_ptr<FileManager> manager);
  static void setFactoryForTesting(std::function<std::shared_ptr<FileManager>()> factory);

  // Whether an item exists at `path` (a symbolic link counts as itself,
  // not as its target); *isDirectory tells whether it is a directory.
  virtual bool fileExistsAtPath(const std::string& path, bool* isDirectory) = 0;

  // Type, size and modification time of the item itself (lstat).
  virtual std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                               base::FileError* error) = 0;
  // The same for what a copy from `path` reads: through a symbolic link,
  // the item it leads to (none when it leads nowhere). This default asks
  // attributesOfItemAtPath, for managers without links.
  virtual std::optional<FileAttributes> attributesOfLinkTargetAtPath(const std::string& path,
                                                                     base::FileError* error);

  // The attributes of many items at once (each as attributesOfItemAtPath
  // gives them; none where that fails), in the order of `paths`. The
  // POSIX manager looks each folder up once for all its items and spreads
  // the work over `threads` threads; others answer item by item. Without
  // `needSize` only existence and type are wanted (size may read 0), and
  // a folder's listing may answer for its items.
  virtual std::vector<std::optional<FileAttributes>> attributesOfItemsAtPaths(
      const std::vector<std::string>& paths, unsigned threads = 1, bool needSize = true);

  // One item of a mixed batch: its path, which may point into a buffer
  // the caller shares among many paths (it need not end in a NUL), and
  // whether its size is wanted.
  struct ItemQuery {
    std::string_view path;
    bool needSize = true;
    // With shared listings: the item's folder is listed and its listing
    // kept even though the size is wanted (a walk will list it; the items
    // the listing lacks need no look of their own).
    bool keepListing = false;
  };
  // attributesOfItemsAtPaths for a batch that mixes items whose size is
  // wanted with items whose existence and type are enough, answered in
  // the order of `items`; other managers answer item by item, in order.
  virtual std::vector<std::optional<FileAttributes>> attributesOfItems(
      const std::vector<ItemQuery>& items, unsigned threads = 1);

  // Copies the regular file `from` to `to`, which must not exist: an item
  // already there makes the copy fail and is left alone. The data goes to
  // a temporary file in the destination folder (see isPartialCopyName),
  // is flushed, and is then moved into place without overwriting; on any
  // failure the temporary is removed and nothing stands under `to`. The
  // copy keeps the source's modification time.
  virtual bool copyItemAtPath(const std::string& from, const std::string& to,
                              base::FileError* error) = 0;

  // A batch of copies flushed together (see CopyBatch). The manager must
  // outlive the batch. This default copies each file at once, as
  // copyItemAtPath does, and has nothing left to do at commit.
  virtual std::unique_ptr<CopyBatch> makeCopyBatch();
  virtual std::unique_ptr<CopyBatch> makeCopyBatch(const CopyBatchOptions& options);

  // Creates a directory; with `intermediate`, every missing parent too
  // (an existing directory is then not an error).
  virtual bool createDirectoryAtPath(const std::string& path, bool intermediate,
                                     base::FileError* error) = 0;

  // Removes a file, a symbolic link (not its target) or a directory with
  // everything below it (never following links inside it).
  virtual bool removeItemAtPath(const std::string& path, base::FileError* error) = 0;

  // The entries of a folder, in no particular order, without "." and "..".
  virtual std::optional<std::vector<DirectoryEntry>> contentsOfDirectoryAtPath(
      const std::string& path, base::FileError* error) = 0;

  // Every item below the folder `path`, one lstat each, no link followed;
  // the top-level names in `skipAtTop` (and what they hold) left out. A
  // folder below that cannot be read is noted as a look failure and left
  // out; the top folder failing is nullopt with `error`.
  virtual std::optional<std::vector<TreeItem>> itemsBelowPath(
      const std::string& path, const std::vector<std::string>& skipAtTop, base::FileError* error);

  // Whether the item could be removed by this process (its folder is
  // writable and searchable).
  virtual bool isDeletableFileAtPath(const std::string& path) = 0;
  // Whether this process may read the item (through a link, its target).
  virtual bool isReadableFileAtPath(const std::string& path);
  // Whether this process may write the item (through a link, its target).
  virtual bool isWritableFileAtPath(const std::string& path);
  // The absolute path with every link and "." or ".." resolved; nullopt
  // with `error` when a part of it is missing or cannot be looked at.
  virtual std::optional<std::string> canonicalPath(const std::string& path, base::FileError* error);

  // Writes `text` to `path` atomically: a temporary in the same folder,
  // flushed, then renamed over `path`.
  virtual bool writeStringAtomically(const std::string& text, const std::string& path,
                                     base::FileError* error) = 0;

  // Writes `text` to `path` below `root` in place of what stands there:
  // a temporary beside it, flushed, recorded as written, then renamed
  // over the old file, which stays as it was when anything fails. Missing
  // folders below the root are made; nothing is reached through a link.
  virtual bool writeStringBelowRoot(const DestinationRoot& root, const std::string& text,
                                    const std::string& path, base::FileError* error);
  // The same for several files (path, text) at once, with one flush for
  // them all: every temporary is written, all are recorded and flushed
  // together, then each is renamed into place. Whether each file is in
  // place, in order; `errors` (when given) holds why each other failed.
  struct TextFile {
    std::string path, text;
  };
  // `beforeNaming` (when given) is told each file's final path, size and
  // time once its temporary is flushed and before any is named: a caller
  // records them there, so that a kill never leaves a named file it has
  // not recorded. Its error fails them all.
  using BeforeNaming = std::function<int(const std::vector<CopyBatchOptions::Staged>&)>;
  virtual std::vector<bool> writeStringsBelowRoot(const DestinationRoot& root,
                                                  const std::vector<TextFile>& files,
                                                  std::vector<base::FileError>* errors,
                                                  const BeforeNaming& beforeNaming = nullptr);
  // Removes a file (or a link) or an empty folder at `path` below `root`,
  // reached without following any link; a folder that is not empty is
  // kept (ENOTEMPTY).
  virtual bool removeItemBelowRoot(const DestinationRoot& root, const std::string& path,
                                   RemoveKind kind, base::FileError* error);
  // Makes the folder `relative` below `root` and those above it that are
  // missing, following no link on the way.
  virtual bool createFolderBelowRoot(const DestinationRoot& root, const std::string& relative,
                                     base::FileError* error);
  // Settles the aside file `path` below `root` that a replacement cut short
  // left: put back under its name when that is free (*restored), else gone.
  virtual bool settleAsideBelowRoot(const DestinationRoot& root, const std::string& path,
                                    bool* restored, base::FileError* error);

  // Moves the file (or link) at `from` below `root` to `to` below it, in
  // one step and never over what stands at `to` (EEXIST then); the folder
  // of `to` must exist. Nothing is reached through a link.
  virtual bool moveItemBelowRoot(const DestinationRoot& root, const std::string& from,
                                 const std::string& to, base::FileError* error);

  // The XXH3-64 checksum of the file at `path` as the drive returns it now:
  // its cached pages are dropped first (posix_fadvise DONTNEED, which
  // drops only pages already flushed), so that the read comes from the
  // device rather than from what the copy left in memory. None when it
  // cannot be read, with *error filled.
  virtual std::optional<uint64_t> readBackChecksum(const std::string& path, base::FileError* error);

  // Whether the plain file `part` holds the first bytes of the plain file
  // `whole`, compared a block at a time (a copy cut short is a prefix of
  // its source; a file edited since is not). None when either cannot be
  // read, with *error filled. Links are not followed at `part`.
  virtual std::optional<bool> isPrefixOfFile(const std::string& part, const std::string& whole,
                                             base::FileError* error);
  // The text of the plain file at `path`, at most `limit` bytes (none when
  // larger, or when it cannot be read, with *error filled). Links, FIFOs
  // and devices are refused without blocking.
  virtual std::optional<std::string> readSmallFile(const std::string& path, size_t limit,
                                                   base::FileError* error);
  // The plain file at `path` for reads at any offset (fs/ReadableFile.h);
  // links, FIFOs and devices are refused without blocking.
  virtual std::unique_ptr<ReadableFile> openForReading(const std::string& path,
                                                       base::FileError* error);

  // Keeps the folder listings this manager's lookups read in `listings`
  // (shared with every manager given the same ones) and hands each to the
  // first contentsOfDirectoryAtPath of its folder; none stops it. Every
  // write through this manager empties them. The POSIX manager keeps the
  // folders the existence-only part of attributesOfItems lists; others
  // (wrappers too) keep nothing. Set it before the manager is used from
  // several threads.
  void shareListings(std::shared_ptr<FolderListings> listings);
  // From now on, notes in `failures` each existence check, attribute
  // lookup, listing and small read that fails for another reason than
  // the item's absence (ENOENT, ENOTDIR), a link where none may be
  // (ELOOP) or a size over the limit (EFBIG). Wrappers note what they
  // fail themselves and hand `failures` on.
  virtual void noteLookFailuresIn(std::shared_ptr<LookFailures> failures);

  // Whether a file name is the temporary of an unfinished copy.
  static bool isPartialCopyName(const std::string& name);
  // The prefix of such temporaries.
  static constexpr const char* kPartialCopyPrefix = ".tessaline-partial-";

 protected:
  // Told of each step of writeStringsBelowRoot's files, with a file's
  // final path, before it takes effect; a nonzero errno value fails that
  // step as the system call would. The POSIX manager hands it to its
  // step hook (tests); wrappers write through their target.
  virtual int step(CopyStep, const std::string&) { return 0; }
  // Called before each write: the listings kept may no longer hold.
  void dropListings() const;
  // Notes a failed look at `path` as noteLookFailuresIn says.
  void noteLookFailure(int code, const std::string& path) const;
  // The reads above, without the note.
  std::optional<uint64_t> readBack(const std::string& path, base::FileError* error);
  std::optional<bool> comparePrefix(const std::string& part, const std::string& whole,
                                    base::FileError* error);
  std::optional<std::string> readSmall(const std::string& path, size_t limit,
                                       base::FileError* error);
  std::shared_ptr<FolderListings> listings_;

 private:
  mutable std::mutex lookMutex_;
  std::shared_ptr<LookFailures> lookFailures_;
};

// Copies made durable together. Flushing each copied file on its own costs
// a journal commit and a device cache flush per file, which dominates a
// run of many small tracks; a batch writes every copy's data to its
// temporary as it is added, and commit() flushes them all with one flush
// of the file system before moving each into place. The guarantee of
// copyItemAtPath holds: nothing stands under a final name before its data
// is on the disk.
//
// Thread: one thread at a time; different batches may be used at once.
// Errors: as copyItemAtPath, per copy. Destroying a batch removes the
// temporaries of copies not committed.
class CopyBatch {
 public:
  virtual ~CopyBatch() = default;
  // Writes the copy of `from` to a temporary next to `to` (which must not
  // exist); false, with nothing left behind, when that fails.
  virtual bool addCopy(const std::string& from, const std::string& to, base::FileError* error) = 0;
  // Copies added and not committed yet, and the bytes they hold.
  virtual size_t pendingCount() const = 0;
  virtual uint64_t pendingBytes() const = 0;
  // Flushes the pending copies and moves each into place, in the order
  // added; result[i] tells whether the i-th is in place, else (*errors)[i]
  // (when given) says why and its temporary is gone. Afterwards nothing
  // is pending.
  virtual std::vector<bool> commit(std::vector<base::FileError>* errors) = 0;
};

}  // namespace fs
