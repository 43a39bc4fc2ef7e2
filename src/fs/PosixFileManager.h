// The file manager on POSIX system calls (Linux).
//
// Copies go through copy_file_range, or read/write with a large buffer
// where the kernel refuses it, into a temporary named
// FileManager::kPartialCopyPrefix + unique part + final name in the
// destination folder; the temporary is flushed, given the source's
// modification time and moved into place without overwriting
// (renameat2 RENAME_NOREPLACE, else link + unlink, else a checked rename
// on file systems that have neither). The source of a copy is opened as
// a path, so a symbolic link given as the source copies its target; no
// other operation follows a link in the last component of its path.
//
// A CopyBatch writes its copies the same way and flushes them together.
//
// Given shared listings (see shareListings), it keeps the folders
// attributesOfItems lists for items whose existence and type are enough,
// and contentsOfDirectoryAtPath takes a folder's listing from there.
//
// Thread: stateless apart from an atomic counter and the shared listings
// (set before use); safe from any thread.
// Errors: see FileManager; codes are errno values, descriptions name the
// file ("The file “a.mp3” couldn’t be copied: No space left on device.").
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "fs/FileManager.h"

namespace fs {

// Fills *error (when given) with `code` and a description naming the last
// component of `path`; `action` is the past participle ("copied").
void setFileError(base::FileError* error, int code, const std::string& path,
                  std::string_view action);
// Writes all `length` bytes (retrying short writes); 0 or an errno value.
int writeAll(int fd, const char* data, size_t length);

class PosixFileManager : public FileManager {
 public:
  // How a finished copy gets its name without replacing anything; each
  // falls back to the next where the file system refuses it.
  enum class NamingMethod {
    kExclusiveRename,  // renameat2 RENAME_NOREPLACE
    kLink,             // a hard link, then the temporary's removal
    kCheckThenRename,  // FAT through some drivers: look, then rename
  };
  struct Options {
    // Bytes asked of one copy_file_range call.
    uint64_t copyChunkBytes = 16u << 20;
    // Size of the read/write buffer of the fallback path (each write's
    // size, kept at cp's: larger writes cost more system time).
    size_t bufferBytes = 128u << 10;
    // Off: always use read/write (tests of the fallback path).
    bool useCopyFileRange = true;
    // The first naming method tried (tests of the fallbacks that only some
    // target file systems take).
    NamingMethod naming = NamingMethod::kExclusiveRename;
    // Tests only: told of each step (see CopyStep) of a batch's copy and
    // of a text written below a root, with the file's final path, before
    // the step takes effect. A nonzero return (an errno value) fails that
    // step as the system call would. The power-cut test double follows
    // what is on the disk with it.
    std::function<int(CopyStep step, const std::string& to)> stepHook;
  };

  // Called before each chunk of a copy is written, with the bytes already
  // written and the chunk's length, which it may shorten. A nonzero return
  // (an errno value) fails the copy at that point. Used by the fault
  // injector to fill the disk half-way.
  using CopyChunkGate = std::function<int(uint64_t written, uint64_t* length)>;

  PosixFileManager() = default;
  explicit PosixFileManager(Options options) : options_(options) {}

  bool fileExistsAtPath(const std::string& path, bool* isDirectory) override;
  std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                       base::FileError* error) override;
  std::optional<FileAttributes> attributesOfLinkTargetAtPath(const std::string& path,
                                                             base::FileError* error) override;
  std::vector<std::optional<FileAttributes>> attributesOfItemsAtPaths(
      const std::vector<std::string>& paths, unsigned threads, bool needSize) override;
  std::vector<std::optional<FileAttributes>> attributesOfItems(const std::vector<ItemQuery>& items,
                                                               unsigned threads) override;
  bool copyItemAtPath(const std::string& from, const std::string& to,
                      base::FileError* error) override;
  bool copyItemAtPath(const std::string& from, const std::string& to, base::FileError* error,
                      const CopyChunkGate& gate);
  // Batches flush with one syncfs per file system (one fsync when the
  // batch holds a single copy); `gate` as for copyItemAtPath.
  std::unique_ptr<CopyBatch> makeCopyBatch() override;
  std::unique_ptr<CopyBatch> makeCopyBatch(const CopyBatchOptions& options) override;
  bool createDirectoryAtPath(const std::string& path, bool intermediate,
                             base::FileError* error) override;
  bool removeItemAtPath(const std::string& path, base::FileError* error) override;
  std::optional<std::vector<DirectoryEntry>> contentsOfDirectoryAtPath(
      const std::string& path, base::FileError* error) override;
  bool isDeletableFileAtPath(const std::string& path) override;
  bool writeStringAtomically(const std::string& text, const std::string& path,
                             base::FileError* error) override;

 protected:
  int step(CopyStep kind, const std::string& to) override {
    return options_.stepHook ? options_.stepHook(kind, to) : 0;
  }

 private:
  Options options_;
};

}  // namespace fs
