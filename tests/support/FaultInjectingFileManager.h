// A file manager for tests that wraps a real one (in the manner of
// LevelDB's fault-injection environment) and can
//   - fail the Nth operation of a kind, counted from the call that asks
//     for it, with a chosen errno (once), or every operation of a kind;
//   - run out of space: after K bytes written by batched copies (counted
//     over all of them from the call on) a copy fails with ENOSPC half-way,
//     leaving neither the final file nor its temporary;
//   - make a path and everything below it unreadable: attributes, copies
//     from it and listings of it fail with EACCES;
//   - refuse every rename over an existing file, as FAT through some FUSE
//     drivers does (process-wide: it reaches the writers of the drive's
//     own files too, which use no file manager; undone by clearFaults()
//     and by the destructor);
//   - count the operations of each kind, failed ones included.
// Half-way disk-full needs a wrapped manager whose batches honour the
// chunk gate of CopyBatchOptions (the POSIX one does).
//
// Thread: every member may be called from any thread (one mutex guards the
// settings, the counts are atomic).
// Errors: injected failures fill FileError like the real manager does.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fs/FileManagerWrapper.h"

namespace fs {

enum class FileOp {
  kExists,
  kAttributes,
  kCopy,
  kCreateDirectory,
  kRemove,
  kList,
  kDeletable,
  kFlush,  // the flush of a copy batch: failing it fails the whole batch
  kRead,   // a small file's text, a read-back's checksum, a prefix comparison
  kWrite,  // text files written whole (playlist files, state files)
  kMove,   // a rename of the exporter's file on the drive
};
constexpr size_t kFileOpCount = 11;

class FaultInjectingFileManager : public FileManagerWrapper {
 public:
  // Wraps `target`, a new PosixFileManager when none is given.
  explicit FaultInjectingFileManager(std::shared_ptr<FileManager> target = nullptr);
  ~FaultInjectingFileManager() override;

  // The `n`th (1 = the next) operation of kind `op` fails with `code`;
  // replaces an earlier one-shot failure of that kind.
  void failNth(FileOp op, uint64_t n, int code);
  // Every operation of kind `op` fails with `code` (0: stop).
  void failAll(FileOp op, int code);
  // Batched copies may write `bytes` more bytes in all; the copy that
  // goes past fails with ENOSPC. None: no limit.
  void setNoSpaceAfterBytes(std::optional<uint64_t> bytes);
  // `path` and everything below it read as EACCES.
  void makeUnreadable(const std::string& path);
  // Every rename over an existing file fails with `code` (0: stop).
  void refuseRenameOver(int code);
  // Read-backs of files whose path ends in `suffix` return other data.
  void corruptReadBack(const std::string& suffix);
  // Removes every injected fault (counts are kept).
  void clearFaults();

  uint64_t count(FileOp op) const;
  uint64_t totalCount() const;
  void resetCounts();

  bool fileExistsAtPath(const std::string& path, bool* isDirectory) override;
  std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                       base::FileError* error) override;
  std::optional<FileAttributes> attributesOfLinkTargetAtPath(const std::string& path,
                                                             base::FileError* error) override;
  // Batches are answered item by item, each lookup counted (and failed)
  // as one kAttributes.
  std::vector<std::optional<FileAttributes>> attributesOfItemsAtPaths(
      const std::vector<std::string>& paths, unsigned threads = 1, bool needSize = true) override {
    return FileManager::attributesOfItemsAtPaths(paths, threads, needSize);
  }
  std::vector<std::optional<FileAttributes>> attributesOfItems(const std::vector<ItemQuery>& items,
                                                               unsigned threads = 1) override {
    return FileManager::attributesOfItems(items, threads);
  }
  bool copyItemAtPath(const std::string& from, const std::string& to,
                      base::FileError* error) override;
  // Adding a copy counts (and may fail) as kCopy, committing as kFlush.
  using FileManager::makeCopyBatch;
  std::unique_ptr<CopyBatch> makeCopyBatch(const CopyBatchOptions& options) override;
  bool createDirectoryAtPath(const std::string& path, bool intermediate,
                             base::FileError* error) override;
  bool removeItemAtPath(const std::string& path, base::FileError* error) override;
  std::optional<std::vector<DirectoryEntry>> contentsOfDirectoryAtPath(
      const std::string& path, base::FileError* error) override;
  std::optional<std::vector<TreeItem>> itemsBelowPath(const std::string& path,
                                                      const std::vector<std::string>& skipAtTop,
                                                      base::FileError* error) override;
  bool isDeletableFileAtPath(const std::string& path) override;
  bool isWritableFileAtPath(const std::string& path) override;
  bool createFolderBelowRoot(const DestinationRoot& root, const std::string& relative,
                             base::FileError* error) override;
  bool settleAsideBelowRoot(const DestinationRoot& root, const std::string& path, bool* restored,
                            base::FileError* error) override;
  std::optional<std::string> canonicalPath(const std::string& path,
                                           base::FileError* error) override;
  bool removeItemBelowRoot(const DestinationRoot& root, const std::string& path, RemoveKind kind,
                           base::FileError* error) override;
  bool moveItemBelowRoot(const DestinationRoot& root, const std::string& from,
                         const std::string& to, base::FileError* error) override;
  std::optional<uint64_t> readBackChecksum(const std::string& path,
                                           base::FileError* error) override;
  std::optional<bool> isPrefixOfFile(const std::string& part, const std::string& whole,
                                     base::FileError* error) override;
  std::optional<std::string> readSmallFile(const std::string& path, size_t limit,
                                           base::FileError* error) override;
  bool writeStringAtomically(const std::string& text, const std::string& path,
                             base::FileError* error) override;
  std::vector<bool> writeStringsBelowRoot(const DestinationRoot& root,
                                          const std::vector<TextFile>& files,
                                          std::vector<base::FileError>* errors,
                                          const BeforeNaming& beforeNaming = nullptr) override;

  // Where the last one-shot fault struck ("" while the one set by failNth
  // has not).
  std::string lastFault() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastFault_;
  }

 private:
  // Counts one operation; returns the errno it must fail with, or 0.
  int begin(FileOp op, const std::string& path, bool checkReadable);
  int decide(FileOp op, const std::string& path, bool checkReadable);
  bool isUnreadable(const std::string& path) const;  // mutex held
  bool spaceLimited() const;
  // Cuts copies short when the space set by setNoSpaceAfterBytes runs out.
  std::function<int(uint64_t written, uint64_t* length)> spaceGate();
  friend class FaultInjectingCopyBatch;

  std::array<std::atomic<uint64_t>, kFileOpCount> counts_{};
  mutable std::mutex mutex_;
  std::string lastFault_;  // guarded by mutex_
  struct OneShot {
    uint64_t at = 0;  // count at which to fail; 0: none
    int code = 0;
  };
  std::array<OneShot, kFileOpCount> oneShot_{};
  std::array<int, kFileOpCount> always_{};
  std::optional<uint64_t> spaceLeft_;
  std::vector<std::string> unreadable_;
  std::vector<std::string> corruptReadBack_;
  std::atomic<bool> renameOverRefused_{false};
};

}  // namespace fs
