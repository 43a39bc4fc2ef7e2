#include "fs/PosixFileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>

#include "base/Path.h"
#include "fs/BatchLookup.h"
#include "fs/ContentHash.h"
#include "fs/DestinationRoot.h"
#include "fs/FolderListings.h"
#include "fs/ReplaceFile.h"

namespace fs {
namespace {

// A name for a temporary next to `finalName`: the partial-copy prefix, a
// part unique to this process and call, then the final name, cut to fit
// the 255-byte name limit.
std::string temporaryName(const std::string& finalName) {
  static std::atomic<uint64_t> counter{0};
  // The exporter never forks a process that copies, so the number taken
  // once stays this process's.
  std::string head = FileManager::kPartialCopyPrefix;
  head += DestinationRoot::runToken();
  head += '.';
  head += std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
  head += '-';
  constexpr size_t kNameMax = 255;
  size_t room = head.size() < kNameMax ? kNameMax - head.size() : 0;
  return head + finalName.substr(0, room);
}

// Creates a new temporary in `folder` (never an existing file); returns
// its descriptor and sets *path, or -1 with errno set.
int createTemporary(const std::string& folder, const std::string& finalName, mode_t mode,
                    std::string* path) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    *path = base::joinPath(folder, temporaryName(finalName));
    int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now and reports close()'s error (a network file system may
  // report a failed write only here).
  int closeNow() {
    int fd = fd_;
    fd_ = -1;
    return close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// Which side of a copy a failure is about.
enum class Side { kSource, kDestination };

struct CopyResult {
  int code = 0;
  Side side = Side::kDestination;
};

CopyResult sourceFailure(int code) { return {code, Side::kSource}; }
CopyResult destinationFailure(int code) { return {code, Side::kDestination}; }

bool stopped(const std::atomic<bool>* stop) {
  return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// A hashed copy reads through a buffer small enough to stay in the
// processor's cache between the read, the hash and the write. Each write
// is also what the kernel sizes its page-cache pieces by: writes of 1 MB
// took 27 times the system time of 128 KB writes for the same 2 GB here
// (large blocks of fresh memory cost more to fill in a virtual machine),
// and 128 KB is what cp writes.
constexpr size_t kHashedBufferBytes = 128u << 10;

// Copies from the current offset of `in` to its end with read/write,
// feeding `hash` (when given) with what was written.
// `size` is the source's as it was opened: a read that ends short just
// there has met the end, and the read that would only say so is saved (a
// file of a few kilobytes is otherwise two reads). A file that grew since
// has its first `size` bytes copied, as the size and time recorded for it
// say.
CopyResult copyByReadWrite(int in, int out, size_t bufferBytes, uint64_t size, uint64_t* written,
                           const PosixFileManager::CopyChunkGate& gate,
                           const std::atomic<bool>* stop, std::atomic<uint64_t>* progress,
                           ContentHash* hash) {
  std::unique_ptr<char[]> buffer(new char[bufferBytes]);
  for (bool ended = false; !ended;) {
    if (stopped(stop)) return destinationFailure(ECANCELED);
    ssize_t n = read(in, buffer.get(), bufferBytes);
    if (n < 0) {
      if (errno == EINTR) continue;
      return sourceFailure(errno);
    }
    if (n == 0) return {};
    uint64_t length = static_cast<uint64_t>(n);
    ended = length < bufferBytes && *written + length == size;
    int gateError = 0;
    if (gate) {
      gateError = gate(*written, &length);
      if (length > static_cast<uint64_t>(n)) length = static_cast<uint64_t>(n);
      if (gateError == 0 && length < static_cast<uint64_t>(n)) gateError = ENOSPC;
    }
    if (int e = writeAll(out, buffer.get(), length)) return destinationFailure(e);
    if (hash) hash->update(buffer.get(), length);
    *written += length;
    if (progress) progress->fetch_add(length, std::memory_order_relaxed);
    if (gateError != 0) return destinationFailure(gateError);
  }
  return {};
}

bool kernelRefusesCopyRange(int e) {
  return e == EXDEV || e == ENOSYS || e == EINVAL || e == EOPNOTSUPP || e == ENOTSUP;
}

// Moves the finished temporary to `name` in the same folder unless
// something stands there. `from` says which way to try first: the others
// are the fallbacks of file systems that lack the better ones.
int moveIntoPlace(int folder, const std::string& temporary, const std::string& name,
                  PosixFileManager::NamingMethod from) {
  using Method = PosixFileManager::NamingMethod;
  int e = 0;
  if (from == Method::kExclusiveRename) {
    if (renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) return 0;
    e = errno;
    if (e != EINVAL && e != ENOSYS && e != EOPNOTSUPP && e != ENOTSUP) return e;
  }
  if (from != Method::kCheckThenRename) {
    // A file system without RENAME_NOREPLACE: a hard link fails on an
    // existing name just the same.
    if (linkat(folder, temporary.c_str(), folder, name.c_str(), 0) == 0) {
      unlinkat(folder, temporary.c_str(), 0);
      return 0;
    }
    e = errno;
    if (e != EPERM && e != EOPNOTSUPP && e != ENOTSUP && e != ENOSYS && e != EMLINK) return e;
  }
  // Neither (FAT through some drivers): check, then rename. Only a
  // concurrent writer of the same name could slip in between.
  struct stat st;
  if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  return renameat(folder, temporary.c_str(), folder, name.c_str()) == 0 ? 0 : errno;
}

// Removes everything inside the open folder `dirFd` (which it takes over),
// never following a link. Returns the first error, having gone on with
// the rest.
int removeContents(int dirFd) {
  FdCloser closer(dirFd);
  std::vector<DirectoryEntry> entries;
  int firstError = readFolder(dirFd, &entries);
  for (const auto& [name, type] : entries) {
    int e = 0;
    if (type == FileType::kDirectory) {
      int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        e = errno;
      } else {
        e = removeContents(sub);
        if (e == 0 && unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) e = errno;
      }
    } else if (unlinkat(dirFd, name.c_str(), 0) != 0) {
      e = errno;
    }
    if (e != 0 && e != ENOENT && firstError == 0) firstError = e;
  }
  return firstError;
}

int makeDirectories(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return 0;
  int e = errno;
  struct stat st;
  if (e == EEXIST) return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : EEXIST;
  if (e != ENOENT) return e;
  std::string folder, name;
  base::splitPath(path, &folder, &name);
  if (folder == path || folder == "." || folder == "/") return e;
  if (int parentError = makeDirectories(folder)) return parentError;
  if (mkdir(path.c_str(), 0755) == 0) return 0;
  e = errno;
  if (e == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return e;
}

}  // namespace

int writeAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

void setFileError(base::FileError* error, int code, const std::string& path,
                  std::string_view action) {
  if (error == nullptr) return;
  error->code = code;
  const char* reason = strerrordesc_np(code);
  std::string text = "The file “" + base::lastComponent(path) + "” couldn’t be ";
  text += action;
  text += ": ";
  text += reason != nullptr ? reason : "Unknown error " + std::to_string(code);
  text += ".";
  error->localizedDescription = std::move(text);
}

bool PosixFileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) {
  struct stat st;
  bool exists = lstat(path.c_str(), &st) == 0;
  if (!exists) noteLookFailure(errno, path);
  if (isDirectory != nullptr) *isDirectory = exists && S_ISDIR(st.st_mode);
  return exists;
}

std::optional<FileAttributes> PosixFileManager::attributesOfItemAtPath(const std::string& path,
                                                                       base::FileError* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    noteLookFailure(errno, path);
    setFileError(error, errno, path, "opened");
    return std::nullopt;
  }
  return attributesOfStat(st);
}

std::optional<FileAttributes> PosixFileManager::attributesOfLinkTargetAtPath(
    const std::string& path, base::FileError* error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    noteLookFailure(errno, path);
    setFileError(error, errno, path, "opened");
    return std::nullopt;
  }
  return attributesOfStat(st);
}

bool PosixFileManager::copyItemAtPath(const std::string& from, const std::string& to,
                                      base::FileError* error) {
  return copyItemAtPath(from, to, error, CopyChunkGate());
}

namespace {

// An open folder shared by the copies staged in it.
// Batches of at most this many files are flushed file by file.
constexpr size_t kFlushOneByOne = 4;
// Flushed copies of at least this size leave the page cache.
constexpr uint64_t kDropPagesFromBytes = 256u << 10;

struct Folder {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  bool fresh = false;  // made by this batch: nothing was in it before
  ~Folder() {
    if (fd >= 0) close(fd);
  }
};

// A copy whose data sits in its temporary, not flushed, not yet named.
struct StagedCopy {
  int fd = -1;
  std::shared_ptr<Folder> folder;
  std::string from, to, name, temporary;  // name and temporary: in folder
  std::string relative;                   // below the batch's root
  dev_t device = 0;
  uint64_t bytes = 0;
  std::optional<uint64_t> checksum;
  uint64_t sourceSize = 0;  // as the source was when it was read
  int64_t sourceTimeNs = 0;
};

// Removes a staged copy's temporary (closing it first).
void discard(StagedCopy& copy) {
  if (copy.fd >= 0) close(copy.fd);
  copy.fd = -1;
  if (copy.folder) unlinkat(copy.folder->fd, copy.temporary.c_str(), 0);
}

void setCopyError(base::FileError* error, const CopyResult& result, const std::string& from,
                  const std::string& to) {
  if (error == nullptr) return;
  const std::string& path = result.side == Side::kSource ? from : to;
  setFileError(error, result.code, path, "copied");
  if (result.side == Side::kSource && result.code == kNotRegularFile) {
    error->localizedDescription = "The file “" + base::lastComponent(path) +
                                  "” couldn’t be copied: it is not a regular file.";
  }
  error->path = path;
}

// The folder of a plain destination path, as it stands (links followed).
std::shared_ptr<Folder> openPlainFolder(const std::string& to, std::string* name, int* code) {
  std::string folderPath;
  base::splitPath(to, &folderPath, name);
  auto folder = std::make_shared<Folder>();
  folder->fd = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  if (folder->fd < 0 || fstat(folder->fd, &st) != 0) {
    *code = errno;
    return nullptr;
  }
  folder->device = st.st_dev;
  folder->inode = st.st_ino;
  return folder;
}

// Writes `from` into a new temporary in `folder` beside `name`, with the
// source's modification time; nothing is left behind on failure. Only a
// regular file is read: a pipe or a device would block or never end, so
// the source is looked at before it is opened and opened without waiting.
CopyResult stageCopy(const std::string& from, std::shared_ptr<Folder> folder,
                     const std::string& name, const PosixFileManager::Options& options,
                     const PosixFileManager::CopyChunkGate& gate, const std::atomic<bool>* stop,
                     std::atomic<uint64_t>* progress, StagedCopy* staged, bool replace = false,
                     ContentHash* hash = nullptr) {
  struct stat source;
  if (stat(from.c_str(), &source) != 0) return sourceFailure(errno);
  if (S_ISDIR(source.st_mode)) return sourceFailure(EISDIR);
  if (!S_ISREG(source.st_mode)) return sourceFailure(kNotRegularFile);
  FdCloser in(open(from.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (in.get() < 0) return sourceFailure(errno);
  if (fstat(in.get(), &source) != 0) return sourceFailure(errno);
  if (!S_ISREG(source.st_mode))
    return sourceFailure(S_ISDIR(source.st_mode) ? EISDIR : kNotRegularFile);

  // Fail early on an existing item; the final move checks again. A
  // replacement takes the place of a file, never of a folder. A folder
  // the batch made held nothing to look for.
  if (!folder->fresh) {
    struct stat existing;
    if (fstatat(folder->fd, name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISDIR(existing.st_mode)) return destinationFailure(EISDIR);
      if (!replace) return destinationFailure(EEXIST);
    } else if (errno != ENOENT) {
      return destinationFailure(errno);
    }
  }

  std::string temporary;
  mode_t mode = (source.st_mode & 0777) | S_IRUSR | S_IWUSR;
  int created = -1;
  for (int attempt = 0; attempt < 64 && created < 0; ++attempt) {
    temporary = temporaryName(name);
    created = openat(folder->fd, temporary.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (created < 0 && errno != EEXIST) break;
  }
  if (created < 0) return destinationFailure(errno);
  FdCloser out(created);

  uint64_t written = 0;
  auto failAndClean = [&](CopyResult result) {
    if (out.get() >= 0) out.closeNow();
    unlinkat(folder->fd, temporary.c_str(), 0);
    if (progress) progress->fetch_sub(written, std::memory_order_relaxed);
    return result;
  };

  bool useReadWrite = !options.useCopyFileRange || static_cast<bool>(gate) || hash != nullptr;
  if (hash) hash->reset();
  while (!useReadWrite) {
    if (stopped(stop)) return failAndClean(destinationFailure(ECANCELED));
    ssize_t n = copy_file_range(in.get(), nullptr, out.get(), nullptr, options.copyChunkBytes, 0);
    if (n > 0) {
      written += static_cast<uint64_t>(n);
      if (progress) progress->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    } else if (n == 0) {
      // Some file systems answer 0 before the end (or report no size);
      // reading on finds out for certain.
      if (written < static_cast<uint64_t>(source.st_size) || written == 0) useReadWrite = true;
      break;
    } else if (errno == EINTR) {
      continue;
    } else if (kernelRefusesCopyRange(errno)) {
      useReadWrite = true;
    } else {
      return failAndClean(destinationFailure(errno));
    }
  }
  if (useReadWrite) {
    CopyResult result = copyByReadWrite(
        in.get(), out.get(), hash ? kHashedBufferBytes : options.bufferBytes,
        static_cast<uint64_t>(source.st_size), &written, gate, stop, progress, hash);
    if (result.code != 0) return failAndClean(result);
  }

  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = source.st_mtim;
  if (futimens(out.get(), times) != 0) return failAndClean(destinationFailure(errno));
  staged->fd = out.release();
  staged->device = folder->device;
  staged->folder = std::move(folder);
  staged->from = from;
  staged->name = name;
  staged->temporary = std::move(temporary);
  staged->bytes = written;
  if (hash) staged->checksum = hash->digest();
  staged->sourceSize = static_cast<uint64_t>(source.st_size);
  staged->sourceTimeNs =
      static_cast<int64_t>(source.st_mtim.tv_sec) * 1'000'000'000 + source.st_mtim.tv_nsec;
  return {};
}

// Closes a flushed copy and gives it its final name; 0 or an errno value,
// the temporary removed on failure.
int finishStaged(StagedCopy& copy, const PosixFileManager::Options& options, bool replace,
                 const DestinationRoot* root) {
  int e = options.stepHook ? options.stepHook(CopyStep::kNamed, copy.to) : 0;
  if (copy.fd >= 0) {
    int fd = copy.fd;
    copy.fd = -1;
    if (close(fd) != 0) e = errno;
  }
  if (e == 0 && replace) {
    e = replaceByRename(copy.folder->fd, copy.temporary, copy.name,
                        [&] { return root ? root->noteAside(copy.relative) : 0; });
  } else if (e == 0) {
    e = moveIntoPlace(copy.folder->fd, copy.temporary, copy.name, options.naming);
  }
  if (e != 0) {
    if (copy.fd >= 0) close(copy.fd);
    copy.fd = -1;
    unlinkat(copy.folder->fd, copy.temporary.c_str(), 0);
  }
  return e;
}

// Whether folders still stand at their places below the root, found by
// walking from the root as it is now. The folders above are opened once
// for all the folders asked about (the album folders of one artist walk
// to the artist's folder once), and at most a few are kept open.
class WalkFromRoot {
 public:
  explicit WalkFromRoot(const DestinationRoot& root) : root_(root) {}
  ~WalkFromRoot() { forget(); }
  WalkFromRoot(const WalkFromRoot&) = delete;
  WalkFromRoot& operator=(const WalkFromRoot&) = delete;

  // Whether `relative` ("" for the root) is `folder`, by device and inode.
  // The last step is looked at from the folder above without opening it:
  // a link there has an inode of its own, and a mount shows its root, as
  // an open would.
  bool holds(std::string_view relative, const Folder& folder) {
    struct stat st;
    if (relative.empty()) {
      int fd = kept("");
      return fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == folder.device &&
             st.st_ino == folder.inode;
    }
    size_t slash = relative.rfind('/');
    bool top = slash == std::string_view::npos;
    const std::string leaf(relative.substr(top ? 0 : slash + 1));
    if (leaf.empty() || leaf == "." || leaf == "..") return false;
    int above = kept(top ? std::string_view() : relative.substr(0, slash));
    return above >= 0 && fstatat(above, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_dev == folder.device && st.st_ino == folder.inode;
  }

 private:
  static constexpr size_t kKeptOpen = 64;

  // A new descriptor of `relative` (not ""), opened from the folder
  // above it, or -errno.
  int openBelow(std::string_view relative) {
    size_t slash = relative.rfind('/');
    bool top = slash == std::string_view::npos;
    int above = kept(top ? std::string_view() : relative.substr(0, slash));
    if (above < 0) return above;
    return DestinationRoot::openChild(above, std::string(relative.substr(top ? 0 : slash + 1)),
                                      false);
  }
  // A descriptor of `relative`, kept by the walk, or -errno.
  int kept(std::string_view relative) {
    for (const auto& [path, fd] : open_) {
      if (path == relative) return fd;
    }
    int fd = relative.empty() ? root_.openFolder("", false) : openBelow(relative);
    if (fd < 0) return fd;
    if (open_.size() >= kKeptOpen) forget();
    open_.emplace_back(std::string(relative), fd);
    return fd;
  }
  void forget() {
    for (auto& folder : open_) close(folder.second);
    open_.clear();
  }

  const DestinationRoot& root_;
  std::vector<std::pair<std::string, int>> open_;  // path below the root, descriptor
};

class PosixCopyBatch : public CopyBatch {
 public:
  PosixCopyBatch(PosixFileManager::Options options, CopyBatchOptions batchOptions,
                 std::shared_ptr<FolderListings> listings)
      : options_(options), batch_(std::move(batchOptions)), listings_(std::move(listings)) {}
  ~PosixCopyBatch() override {
    for (auto& copy : staged_) drop(copy);
  }

  bool addCopy(const std::string& from, const std::string& to, base::FileError* error) override {
    dropListings();
    std::string name;
    std::string relative;
    std::shared_ptr<Folder> folder = folderFor(to, &name, &relative, error);
    if (!folder) return false;
    StagedCopy copy;
    // The drive learns this run's temporaries are the exporter's before
    // the first is made.
    if (int e = batch_.root ? batch_.root->noteTemporaries() : 0) {
      base::FileError why;
      batch_.root->describe(e, batch_.root->path() + "/" + DestinationRoot::kStateFolder, &why);
      if (error) *error = why;
      return false;
    }
    if (batch_.checksum && !hash_) hash_.emplace();
    CopyResult result =
        stageCopy(from, std::move(folder), name, options_, batch_.chunkGate, batch_.stop,
                  batch_.bytesWritten, &copy, batch_.replace, hash_ ? &*hash_ : nullptr);
    if (result.code != 0) {
      setCopyError(error, result, from, to);
      return false;
    }
    copy.to = to;
    // The temporary is closed at once: a batch of a thousand copies need
    // not hold a thousand descriptors, and the flush goes by file system
    // (a copy flushed on its own is opened again for it).
    if (copy.fd >= 0 && close(std::exchange(copy.fd, -1)) != 0) {
      int e = errno;
      drop(copy);
      setCopyError(error, destinationFailure(e), from, to);
      return false;
    }
    if (int e = step(CopyStep::kWritten, to)) {
      drop(copy);
      setCopyError(error, destinationFailure(e), from, to);
      return false;
    }
    copy.relative = std::move(relative);
    bytes_ += copy.bytes;
    staged_.push_back(std::move(copy));
    return true;
  }
  size_t pendingCount() const override { return staged_.size(); }
  uint64_t pendingBytes() const override { return bytes_; }

  std::vector<bool> commit(std::vector<base::FileError>* errors) override {
    dropListings();
    std::vector<base::FileError> failures(staged_.size());
    std::vector<int> codes(staged_.size(), 0);
    auto failAll = [&](const base::FileError& why) {
      for (size_t i = 0; i < staged_.size(); ++i) {
        if (codes[i] != 0) continue;
        codes[i] = why.code;
        failures[i] = why;
      }
    };
    // The caller's record of the batch is written with it, so that the
    // batch's flush carries it to the disk with the copies; a batch
    // flushed file by file has the caller flush its record itself.
    if (batch_.beforeNaming) {
      std::vector<CopyBatchOptions::Staged> named;
      for (const auto& folder : madeFolders_) named.push_back({batch_.root->path() + "/" + folder});
      for (auto& made : named) made.folder = true;
      const size_t folders = named.size();
      for (size_t i = 0; i < staged_.size(); ++i) {
        if (codes[i] != 0) continue;
        struct stat st;
        if (fstatat(staged_[i].folder->fd, staged_[i].temporary.c_str(), &st,
                    AT_SYMLINK_NOFOLLOW) != 0) {
          codes[i] = errno;
          continue;
        }
        named.push_back(
            {staged_[i].to, static_cast<uint64_t>(st.st_size),
             static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
             staged_[i].checksum, false, staged_[i].sourceSize, staged_[i].sourceTimeNs});
      }
      int e = named.empty() ? 0 : batch_.beforeNaming(named, staged_.size() <= kFlushOneByOne);
      if (e == 0) madeFolders_.erase(madeFolders_.begin(), madeFolders_.begin() + folders);
      if (e != 0) {
        base::FileError why;
        if (batch_.root) {
          batch_.root->describe(e, batch_.root->path() + "/" + DestinationRoot::kStateFolder, &why);
        } else {
          why.code = e;
        }
        failAll(why);
      }
    }
    // The records come first: a copy may then be recorded and never
    // named (harmless), but never named and not recorded, which would
    // make the exporter's own file look like the user's. The record by
    // identity goes before the older list of paths: a path that list
    // names without an identity would take whatever stands there later
    // (a file of the user's at a name a killed run never got to) for the
    // exporter's.
    if (batch_.root && !staged_.empty()) {
      std::vector<std::string> relatives;
      relatives.reserve(staged_.size());
      int e = 0;
      for (const auto& copy : staged_) {
        relatives.push_back(copy.relative);
        if (e == 0) e = step(CopyStep::kRecorded, copy.to);
      }
      if (e == 0) e = batch_.root->record(relatives, staged_.size() == 1);
      if (e != 0) {
        base::FileError why;
        batch_.root->describe(e, batch_.root->path() + "/" + DestinationRoot::kStateFolder, &why);
        failAll(why);
      }
    }
    if (staged_.size() <= kFlushOneByOne) {
      // A few large files: each flushed on its own, so the flush does not
      // also wait for whatever else is being written to the drive.
      for (size_t i = 0; i < staged_.size(); ++i) {
        if (codes[i] == 0) codes[i] = step(CopyStep::kFlushed, staged_[i].to);
        if (codes[i] == 0) codes[i] = flushStaged(staged_[i]);
      }
    } else {
      // One flush per file system the batch touches. syncfs reports a
      // write-back error of any file there, so only then is each file
      // flushed on its own, to tell which ones the error hit.
      std::vector<dev_t> done;
      for (size_t i = 0; i < staged_.size(); ++i) {
        if (codes[i] != 0) continue;
        dev_t device = staged_[i].device;
        if (std::find(done.begin(), done.end(), device) != done.end()) continue;
        done.push_back(device);
        for (size_t j = i; j < staged_.size(); ++j) {
          if (staged_[j].device == device && codes[j] == 0)
            codes[j] = step(CopyStep::kFlushed, staged_[j].to);
        }
        if (syncfs(staged_[i].folder->fd) == 0) continue;
        for (size_t j = i; j < staged_.size(); ++j) {
          if (staged_[j].device == device && codes[j] == 0) codes[j] = flushStaged(staged_[j]);
        }
      }
    }
    // The batch's pages are clean now. Handing them back keeps an export
    // of many gigabytes from pushing everything else out of memory, makes
    // a later check read the drive rather than memory, and lets the next
    // batch write into memory just used: in a virtual machine that hands
    // freed memory back to its host, fresh memory costs several times
    // more to fill (2 GB of 1 MB files: 1.6 to 1.8 s with this, 1.2 to
    // 6 s without). A small file's few pages are not worth the calls.
    for (size_t i = 0; i < staged_.size(); ++i) {
      if (codes[i] == 0 && staged_[i].bytes >= kDropPagesFromBytes) dropCachedPages(staged_[i]);
    }
    // A drive pulled while the batch was written takes its copies along.
    if (batch_.root) {
      if (int e = batch_.root->check()) {
        base::FileError why;
        batch_.root->describe(e, batch_.root->path(), &why);
        failAll(why);
      }
    }
    // A folder moved or replaced while its copies were written would take
    // them along wherever it went: each folder must still stand at its
    // place below the root (by device and inode), else its copies fail.
    if (batch_.root) {
      std::unordered_map<const Folder*, int> verdicts;
      WalkFromRoot walk(*batch_.root);
      for (size_t i = 0; i < staged_.size(); ++i) {
        if (codes[i] != 0) continue;
        const Folder* folder = staged_[i].folder.get();
        auto verdict = verdicts.find(folder);
        if (verdict == verdicts.end()) {
          const std::string& relative = staged_[i].relative;
          size_t slash = relative.rfind('/');
          int e =
              walk.holds(slash == std::string::npos ? std::string_view()
                                                    : std::string_view(relative).substr(0, slash),
                         *folder)
                  ? 0
                  : ESTALE;
          verdict = verdicts.emplace(folder, e).first;
        }
        if (verdict->second != 0) {
          codes[i] = verdict->second;
          failures[i].code = verdict->second;
          failures[i].path = staged_[i].to;
          failures[i].localizedDescription =
              "The file “" + base::lastComponent(staged_[i].to) +
              "” couldn’t be copied: the destination changed while copying (its folder was "
              "moved or replaced).";
        }
      }
    }
    std::vector<bool> inPlace(staged_.size());
    for (size_t i = 0; i < staged_.size(); ++i) {
      bool described = codes[i] != 0 && failures[i].code != 0;
      if (codes[i] != 0) {
        drop(staged_[i]);
      } else {
        codes[i] = finishStaged(staged_[i], options_, batch_.replace, batch_.root.get());
        if (codes[i] != 0 && batch_.bytesWritten) batch_.bytesWritten->fetch_sub(staged_[i].bytes);
      }
      inPlace[i] = codes[i] == 0;
      if (!inPlace[i] && !described)
        setCopyError(&failures[i], destinationFailure(codes[i]), staged_[i].from, staged_[i].to);
    }
    // The names are the drive's only once flushed too: a drive that goes
    // read-only or away now would lose them, so a copy counts only after
    // one flush per file system of the renames made.
    std::vector<dev_t> renamedOn;
    for (size_t i = 0; i < staged_.size(); ++i) {
      if (!inPlace[i]) continue;
      dev_t device = staged_[i].device;
      if (std::find(renamedOn.begin(), renamedOn.end(), device) != renamedOn.end()) continue;
      renamedOn.push_back(device);
      int e = step(CopyStep::kNamesFlushed, staged_[i].to);
      if (e == 0 && syncfs(staged_[i].folder->fd) == 0) continue;
      if (e == 0) e = errno;
      for (size_t j = i; j < staged_.size(); ++j) {
        if (!inPlace[j] || staged_[j].device != device) continue;
        inPlace[j] = false;
        if (batch_.bytesWritten) batch_.bytesWritten->fetch_sub(staged_[j].bytes);
        setCopyError(&failures[j], destinationFailure(e), staged_[j].from, staged_[j].to);
      }
    }
    if (errors) *errors = std::move(failures);
    staged_.clear();
    bytes_ = 0;
    return inPlace;
  }

 private:
  // Flushes one staged copy through a descriptor of its own (fsync
  // flushes the file, whichever descriptor names it): 0 or an errno value.
  static int flushStaged(const StagedCopy& copy) {
    if (copy.fd >= 0) return fsync(copy.fd) == 0 ? 0 : errno;
    int fd = openat(copy.folder->fd, copy.temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    int e = fsync(fd) == 0 ? 0 : errno;
    if (close(fd) != 0 && e == 0) e = errno;
    return e;
  }

  static void dropCachedPages(const StagedCopy& copy) {
    int fd = openat(copy.folder->fd, copy.temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }

  // A copy that will never be named: its temporary goes, and its bytes
  // leave the progress.
  void drop(StagedCopy& copy) {
    discard(copy);
    if (batch_.bytesWritten) batch_.bytesWritten->fetch_sub(copy.bytes, std::memory_order_relaxed);
  }

  int step(CopyStep kind, const std::string& to) const {
    return options_.stepHook ? options_.stepHook(kind, to) : 0;
  }

  // The open folder `to` goes into (made below the root when missing),
  // kept while the next copies go to the same folder.
  std::shared_ptr<Folder> folderFor(const std::string& to, std::string* name, std::string* relative,
                                    base::FileError* error) {
    if (!batch_.root) {
      int code = 0;
      auto folder = openPlainFolder(to, name, &code);
      if (!folder) setCopyError(error, destinationFailure(code), to, to);
      return folder;
    }
    const DestinationRoot& root = *batch_.root;
    std::optional<std::string> below = root.relativePath(to);
    if (!below || below->empty()) {
      if (error) {
        error->code = EXDEV;
        error->path = to;
        error->localizedDescription =
            "The file “" + base::lastComponent(to) +
            "” couldn’t be copied: its path is not inside the destination folder.";
      }
      return nullptr;
    }
    std::string_view folderPart, namePart;
    base::splitRelativePath(*below, &folderPart, &namePart);
    name->assign(namePart);
    if (chain_.empty() || folderPart != chain_.back().first) {
      // A pulled drive is noticed once per folder here, and once more
      // before each batch is named.
      if (int e = root.check()) {
        root.describe(e, to, error);
        return nullptr;
      }
      if (int e = openChain(root, folderPart)) {
        std::string where = root.path();
        if (!folderPart.empty()) where += "/" + std::string(folderPart);
        setCopyError(error, destinationFailure(e), to, where);
        return nullptr;
      }
    }
    *relative = std::move(*below);
    return chain_.back().second;
  }

  // Makes chain_ lead from the root to the folder `relative`, keeping the
  // folders it shares with the chain before: the next album of the same
  // artist opens one folder, not every folder from the root. 0 or an
  // errno value (the chain then ends where the walk stopped).
  int openChain(const DestinationRoot& root, std::string_view relative) {
    if (chain_.empty() || !chain_.front().first.empty()) {
      chain_.clear();
      int fd = fcntl(root.fd(), F_DUPFD_CLOEXEC, 0);
      if (fd < 0) return errno;
      auto top = std::make_shared<Folder>();
      top->fd = fd;
      chain_.emplace_back(std::string(), std::move(top));
    }
    // chain_[k] is the folder of the first k components.
    size_t k = 1;
    size_t start = 0;
    while (k < chain_.size() && start < relative.size()) {
      size_t end = relative.find('/', start);
      if (end == std::string_view::npos) end = relative.size();
      if (chain_[k].first != relative.substr(0, end)) break;
      ++k;
      start = end + 1;
    }
    chain_.resize(k);
    std::string part;
    while (start < relative.size()) {
      size_t end = relative.find('/', start);
      if (end == std::string_view::npos) end = relative.size();
      part.assign(relative.substr(start, end - start));
      bool made = false;
      int fd = DestinationRoot::openChild(chain_.back().second->fd, part, true, &made,
                                          chain_.back().second->fresh);
      if (fd < 0) return -fd;
      if (made) madeFolders_.emplace_back(relative.substr(0, end));
      auto folder = std::make_shared<Folder>();
      folder->fd = fd;
      folder->fresh = made;
      chain_.emplace_back(std::string(relative.substr(0, end)), std::move(folder));
      start = end + 1;
    }
    Folder& leaf = *chain_.back().second;
    if (leaf.device == 0) {
      struct stat st;
      if (fstat(leaf.fd, &st) != 0) return errno;
      leaf.device = st.st_dev;
      leaf.inode = st.st_ino;
    }
    return 0;
  }

  // Folders and temporaries come and go with each copy and each commit.
  void dropListings() const {
    if (listings_) listings_->clear();
  }

  PosixFileManager::Options options_;
  CopyBatchOptions batch_;
  std::shared_ptr<FolderListings> listings_;  // kept by the manager that made the batch
  std::vector<StagedCopy> staged_;
  std::optional<ContentHash> hash_;  // made once, for a batch that hashes
  // Folders made below the root (relative to it) not told to beforeNaming yet.
  std::vector<std::string> madeFolders_;
  uint64_t bytes_ = 0;
  // The folders from the root to the last one copied into, each with its
  // path below the root ("" for the root).
  std::vector<std::pair<std::string, std::shared_ptr<Folder>>> chain_;
};

}  // namespace

bool PosixFileManager::copyItemAtPath(const std::string& from, const std::string& to,
                                      base::FileError* error, const CopyChunkGate& gate) {
  dropListings();
  std::string name;
  int code = 0;
  std::shared_ptr<Folder> folder = openPlainFolder(to, &name, &code);
  if (!folder) {
    setCopyError(error, destinationFailure(code), from, to);
    return false;
  }
  StagedCopy copy;
  CopyResult result =
      stageCopy(from, std::move(folder), name, options_, gate, nullptr, nullptr, &copy);
  if (result.code == 0 && fsync(copy.fd) != 0) {
    result = destinationFailure(errno);
    discard(copy);
  } else if (result.code == 0) {
    result = destinationFailure(finishStaged(copy, options_, false, nullptr));
  }
  if (result.code == 0) return true;
  setCopyError(error, result, from, to);
  return false;
}

std::unique_ptr<CopyBatch> PosixFileManager::makeCopyBatch() {
  return makeCopyBatch(CopyBatchOptions{});
}

std::unique_ptr<CopyBatch> PosixFileManager::makeCopyBatch(const CopyBatchOptions& options) {
  return std::make_unique<PosixCopyBatch>(options_, options, listings_);
}

bool PosixFileManager::createDirectoryAtPath(const std::string& path, bool intermediate,
                                             base::FileError* error) {
  dropListings();
  int e = 0;
  if (intermediate) {
    e = makeDirectories(path);
  } else if (mkdir(path.c_str(), 0755) != 0) {
    e = errno;
  }
  if (e == 0) return true;
  setFileError(error, e, path, "created");
  return false;
}

bool PosixFileManager::removeItemAtPath(const std::string& path, base::FileError* error) {
  dropListings();
  struct stat st;
  int e = 0;
  if (lstat(path.c_str(), &st) != 0) {
    e = errno;
  } else if (!S_ISDIR(st.st_mode)) {
    if (unlink(path.c_str()) != 0) e = errno;
  } else {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      e = errno;
    } else {
      e = removeContents(fd);
      if (e == 0 && rmdir(path.c_str()) != 0) e = errno;
    }
  }
  if (e == 0) return true;
  setFileError(error, e, path, "removed");
  return false;
}

std::optional<std::vector<DirectoryEntry>> PosixFileManager::contentsOfDirectoryAtPath(
    const std::string& path, base::FileError* error) {
  if (listings_) {
    if (auto kept = listings_->take(path)) return kept;
  }
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    noteLookFailure(errno, path);
    // A link in the last component reads as "not a folder".
    setFileError(error, errno == ELOOP ? ENOTDIR : errno, path, "opened");
    return std::nullopt;
  }
  FdCloser closer(fd);
  std::vector<DirectoryEntry> entries;
  if (int e = readFolder(fd, &entries)) {
    noteLookFailure(e, path);
    setFileError(error, e, path, "opened");
    return std::nullopt;
  }
  return entries;
}

bool PosixFileManager::isDeletableFileAtPath(const std::string& path) {
  struct stat item;
  if (lstat(path.c_str(), &item) != 0) return false;
  std::string folder, name;
  base::splitPath(path, &folder, &name);
  if (access(folder.c_str(), W_OK | X_OK) != 0) return false;
  struct stat parent;
  if (stat(folder.c_str(), &parent) != 0) return false;
  // In a sticky folder (/tmp) only the owners may remove.
  if ((parent.st_mode & S_ISVTX) != 0) {
    uid_t uid = geteuid();
    return uid == 0 || uid == item.st_uid || uid == parent.st_uid;
  }
  return true;
}

bool PosixFileManager::writeStringAtomically(const std::string& text, const std::string& path,
                                             base::FileError* error) {
  dropListings();
  std::string folder, name;
  base::splitPath(path, &folder, &name);
  std::string temporary;
  FdCloser out(createTemporary(folder, name, 0644, &temporary));
  if (out.get() < 0) {
    setFileError(error, errno, path, "saved");
    return false;
  }
  int e = writeAll(out.get(), text.data(), text.size());
  if (e == 0 && fsync(out.get()) != 0) e = errno;
  if (e == 0) e = out.closeNow();
  if (e == 0) {
    FdCloser folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    e = folderFd.get() < 0 ? errno
                           : replaceByRename(folderFd.get(), base::lastComponent(temporary), name);
  }
  if (e == 0) return true;
  if (out.get() >= 0) out.closeNow();
  unlink(temporary.c_str());
  setFileError(error, e, path, "saved");
  return false;
}

}  // namespace fs

namespace fs {

std::vector<std::optional<FileAttributes>> PosixFileManager::attributesOfItemsAtPaths(
    const std::vector<std::string>& paths, unsigned threads, bool needSize) {
  std::vector<ItemQuery> items;
  items.reserve(paths.size());
  for (const auto& p : paths) items.push_back(ItemQuery{p, needSize});
  return attributesOfItems(items, threads);
}

std::vector<std::optional<FileAttributes>> PosixFileManager::attributesOfItems(
    const std::vector<ItemQuery>& queries, unsigned threads) {
  // Item numbers are kept in 32 bits.
  if (queries.size() >= UINT32_MAX) return FileManager::attributesOfItems(queries, threads);
  return lookUpItems(
      queries, threads,
      [this](const std::string& path) { return attributesOfItemAtPath(path, nullptr); },
      listings_.get(),
      [this](int code, std::string_view path) { noteLookFailure(code, std::string(path)); });
}

}  // namespace fs

namespace fs {

// The writes and removals below a root are POSIX work for every manager
// (a wrapper counts or fails them, then comes here).
namespace {

// The folder holding `path` below `root`, opened (made when `create`);
// fills *name, or *error when that fails.
int openParentBelowRoot(const DestinationRoot& root, const std::string& path, bool create,
                        const char* action, std::string* name, std::string* relative,
                        base::FileError* error) {
  if (int e = root.check()) {
    root.describe(e, path, error);
    return -1;
  }
  std::optional<std::string> below = root.relativePath(path);
  if (!below || below->empty()) {
    if (error) {
      error->code = EXDEV;
      error->path = path;
      error->localizedDescription = "The file “" + base::lastComponent(path) + "” couldn’t be " +
                                    action + ": it is not inside the destination folder.";
    }
    return -1;
  }
  std::string_view folderPart, namePart;
  base::splitRelativePath(*below, &folderPart, &namePart);
  name->assign(namePart);
  if (relative) *relative = *below;
  int fd = root.openFolder(folderPart, create);
  if (fd < 0) {
    setFileError(error, -fd, path, action);
    if (error) error->path = path;
  }
  return fd;
}

}  // namespace

bool FileManager::writeStringBelowRoot(const DestinationRoot& root, const std::string& text,
                                       const std::string& path, base::FileError* error) {
  std::vector<base::FileError> errors;
  bool inPlace = writeStringsBelowRoot(root, {{path, text}}, &errors).front();
  if (!inPlace && error) *error = std::move(errors.front());
  return inPlace;
}

std::vector<bool> FileManager::writeStringsBelowRoot(const DestinationRoot& root,
                                                     const std::vector<TextFile>& files,
                                                     std::vector<base::FileError>* errors,
                                                     const BeforeNaming& beforeNaming) {
  dropListings();
  std::vector<base::FileError> failures(files.size());
  std::vector<int> codes(files.size(), 0);
  struct Written {
    int folder = -1;  // one of `folders`
    std::string name, relative, temporary;
    bool standing = false;  // the temporary, written whole
  };
  std::vector<Written> written(files.size());
  std::map<std::string, int> folders;  // by their path below the root: a few for many files
  std::vector<std::string> relatives;
  for (size_t i = 0; i < files.size(); ++i) {
    Written& w = written[i];
    std::optional<std::string> below = root.relativePath(files[i].path);
    size_t slash = below ? below->rfind('/') : std::string::npos;
    std::string folderPart = slash == std::string::npos ? std::string() : below->substr(0, slash);
    auto known = below ? folders.find(folderPart) : folders.end();
    if (known != folders.end()) {
      w.folder = known->second;
      w.relative = *below;
      w.name = below->substr(slash == std::string::npos ? 0 : slash + 1);
    } else {
      w.folder = openParentBelowRoot(root, files[i].path, true, "saved", &w.name, &w.relative,
                                     &failures[i]);
      if (w.folder < 0) {
        codes[i] = failures[i].code != 0 ? failures[i].code : EIO;
        continue;
      }
      folders.emplace(folderPart, w.folder);
    }
    int fd = -1;
    if (int noted = root.noteTemporaries()) {
      codes[i] = noted;
      continue;
    }
    for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
      w.temporary = temporaryName(w.name);
      fd = openat(w.folder, w.temporary.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0 && errno != EEXIST) break;
    }
    int e = fd < 0 ? errno : 0;
    if (fd >= 0) {
      FdCloser out(fd);
      e = writeAll(out.get(), files[i].text.data(), files[i].text.size());
      if (e == 0) e = out.closeNow();
      if (e == 0) e = step(CopyStep::kWritten, files[i].path);
      if (e != 0) unlinkat(w.folder, w.temporary.c_str(), 0);
    }
    codes[i] = e;
    w.standing = e == 0;
    if (e == 0) relatives.push_back(w.relative);
  }
  // Recorded before any is named, as every copy is. One flush of the file
  // system carries every temporary to the disk; when it fails, each file
  // is flushed on its own, to tell which ones failed. A few files are
  // flushed on their own anyway: the flush then waits for nothing else.
  // By identity first, then the older list of paths (see the copy batch).
  int recorded = 0;
  if (beforeNaming) {
    std::vector<CopyBatchOptions::Staged> staged;
    for (size_t i = 0; i < files.size(); ++i) {
      struct stat st;
      if (codes[i] != 0) continue;
      if (fstatat(written[i].folder, written[i].temporary.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        codes[i] = errno;
        continue;
      }
      // The text's checksum goes into the record as a copy's does, so
      // that a check judges the file by its content, not its time alone.
      ContentHash hash;
      hash.update(files[i].text.data(), files[i].text.size());
      staged.push_back(
          {files[i].path, static_cast<uint64_t>(st.st_size),
           static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
           hash.digest(), false});
    }
    if (!staged.empty()) recorded = beforeNaming(staged);
  }
  for (size_t i = 0; i < files.size() && recorded == 0; ++i)
    if (codes[i] == 0) recorded = step(CopyStep::kRecorded, files[i].path);
  if (recorded == 0) recorded = root.record(relatives, true);
  const bool together = recorded == 0 && relatives.size() > kFlushOneByOne;
  bool flushed = false;
  for (size_t i = 0; i < files.size() && together; ++i)
    if (codes[i] == 0) codes[i] = step(CopyStep::kFlushed, files[i].path);
  for (size_t i = 0; i < files.size() && !flushed && together; ++i) {
    if (codes[i] == 0) flushed = syncfs(written[i].folder) == 0;
  }
  for (size_t i = 0; i < files.size(); ++i) {
    const Written& w = written[i];
    int& e = codes[i];
    if (e != 0) {
      // Written, then failed before its flush: the temporary goes.
      if (w.standing) unlinkat(w.folder, w.temporary.c_str(), 0);
      continue;
    }
    e = recorded;
    if (e == 0 && !together) e = step(CopyStep::kFlushed, files[i].path);
    if (e == 0 && !flushed) {
      int fd = openat(w.folder, w.temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      e = fd < 0 ? errno : (fsync(fd) == 0 ? 0 : errno);
      if (fd >= 0) close(fd);
    }
    struct stat existing;
    if (e == 0 && fstatat(w.folder, w.name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(existing.st_mode)) {
      e = EISDIR;
    }
    if (e == 0) e = step(CopyStep::kNamed, files[i].path);
    if (e == 0)
      e = replaceByRename(w.folder, w.temporary, w.name,
                          [&] { return root.noteAside(w.relative); });
    if (e != 0) unlinkat(w.folder, w.temporary.c_str(), 0);
  }
  // The new names count once they are on the disk too.
  std::vector<int> namedIn;
  for (size_t i = 0; i < files.size(); ++i) {
    if (codes[i] != 0 ||
        std::find(namedIn.begin(), namedIn.end(), written[i].folder) != namedIn.end())
      continue;
    namedIn.push_back(written[i].folder);
    int e = step(CopyStep::kNamesFlushed, files[i].path);
    if (e == 0 && syncfs(written[i].folder) == 0) continue;
    if (e == 0) e = errno;
    for (size_t j = i; j < files.size(); ++j)
      if (codes[j] == 0 && written[j].folder == written[i].folder) codes[j] = e;
  }
  for (auto& [folder, fd] : folders) close(fd);
  std::vector<bool> inPlace(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    inPlace[i] = codes[i] == 0;
    if (inPlace[i] || failures[i].code != 0) continue;
    if (codes[i] == ENODEV || root.check() != 0) {
      root.describe(ENODEV, files[i].path, &failures[i]);
    } else {
      setFileError(&failures[i], codes[i], files[i].path, "saved");
      failures[i].path = files[i].path;
    }
  }
  if (errors) *errors = std::move(failures);
  return inPlace;
}

namespace {

// A plain file opened for reading without blocking on a FIFO or following
// a link at its last component; -1 with the error filled otherwise.
int openPlainForReading(const std::string& path, bool followLink, const char* doing,
                        base::FileError* error) {
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW);
  int fd = open(path.c_str(), flags);
  struct stat st;
  int e = fd < 0 ? errno : fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : kNotRegularFile;
  if (e == 0) return fd;
  if (fd >= 0) close(fd);
  setFileError(error, e, path, doing);
  if (error) error->path = path;
  return -1;
}

// Reads up to `size` bytes, as many as the file has; -1 on an error.
ssize_t readFully(int fd, char* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buffer + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

std::optional<uint64_t> FileManager::readBackChecksum(const std::string& path,
                                                      base::FileError* error) {
  base::FileError local;
  if (error == nullptr) error = &local;
  auto sum = readBack(path, error);
  if (!sum) noteLookFailure(error->code, error->path.empty() ? path : error->path);
  return sum;
}

std::optional<uint64_t> FileManager::readBack(const std::string& path, base::FileError* error) {
  FdCloser in(openPlainForReading(path, false, "read back", error));
  if (in.get() < 0) return std::nullopt;
  posix_fadvise(in.get(), 0, 0, POSIX_FADV_DONTNEED);
  posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  base::Result<uint64_t> sum = hashOpenFile(in.get(), path);
  if (sum) return *sum;
  setFileError(error, sum.status().code() != 0 ? sum.status().code() : EIO, path, "read back");
  if (error) error->path = path;
  return std::nullopt;
}

std::optional<bool> FileManager::isPrefixOfFile(const std::string& part, const std::string& whole,
                                                base::FileError* error) {
  base::FileError local;
  if (error == nullptr) error = &local;
  auto prefix = comparePrefix(part, whole, error);
  if (!prefix) noteLookFailure(error->code, error->path.empty() ? part : error->path);
  return prefix;
}

std::optional<bool> FileManager::comparePrefix(const std::string& part, const std::string& whole,
                                               base::FileError* error) {
  FdCloser a(openPlainForReading(part, false, "read", error));
  if (a.get() < 0) return std::nullopt;
  FdCloser b(openPlainForReading(whole, true, "read", error));
  if (b.get() < 0) return std::nullopt;
  constexpr size_t kBlock = 128 * 1024;
  std::vector<char> x(kBlock), y(kBlock);
  for (;;) {
    ssize_t n = readFully(a.get(), x.data(), kBlock);
    if (n < 0) {
      setFileError(error, errno, part, "read");
      if (error) error->path = part;
      return std::nullopt;
    }
    if (n == 0) return true;
    ssize_t m = readFully(b.get(), y.data(), static_cast<size_t>(n));
    if (m < 0) {
      setFileError(error, errno, whole, "read");
      if (error) error->path = whole;
      return std::nullopt;
    }
    if (m != n || std::memcmp(x.data(), y.data(), static_cast<size_t>(n)) != 0) return false;
  }
}

std::optional<std::string> FileManager::readSmallFile(const std::string& path, size_t limit,
                                                      base::FileError* error) {
  base::FileError local;
  if (error == nullptr) error = &local;
  auto text = readSmall(path, limit, error);
  if (!text) noteLookFailure(error->code, error->path.empty() ? path : error->path);
  return text;
}

std::optional<std::string> FileManager::readSmall(const std::string& path, size_t limit,
                                                  base::FileError* error) {
  FdCloser in(openPlainForReading(path, false, "read", error));
  if (in.get() < 0) return std::nullopt;
  // Sized by what the file holds now (a byte more tells growth apart),
  // never by the limit: most files read are far below it.
  struct stat st;
  uint64_t size = fstat(in.get(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  std::string text(static_cast<size_t>(std::min<uint64_t>(size, limit)) + 1, '\0');
  ssize_t n = readFully(in.get(), text.data(), text.size());
  // It grew since: read on, a block at a time, up to the limit.
  while (n == static_cast<ssize_t>(text.size()) && text.size() <= limit) {
    size_t had = text.size();
    text.resize(std::min(had + (64 << 10), limit + 1));
    ssize_t more = readFully(in.get(), text.data() + had, text.size() - had);
    n = more < 0 ? -1 : static_cast<ssize_t>(had) + more;
    if (more <= 0 || text.size() == limit + 1) break;
  }
  if (n < 0 || static_cast<size_t>(n) > limit) {
    setFileError(error, n < 0 ? errno : EFBIG, path, "read");
    if (error) error->path = path;
    return std::nullopt;
  }
  text.resize(static_cast<size_t>(n));
  return text;
}

bool FileManager::isReadableFileAtPath(const std::string& path) {
  return access(path.c_str(), R_OK) == 0;
}

bool FileManager::createFolderBelowRoot(const DestinationRoot& root, const std::string& relative,
                                        base::FileError* error) {
  dropListings();
  int fd = root.openFolder(relative, true);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  setFileError(error, -fd, root.path() + "/" + relative, "created");
  return false;
}

bool FileManager::settleAsideBelowRoot(const DestinationRoot& root, const std::string& path,
                                       bool* restored, base::FileError* error) {
  dropListings();
  std::string name;
  int folder = openParentBelowRoot(root, path, false, "put back", &name, nullptr, error);
  if (folder < 0) return false;
  FdCloser closer(folder);
  if (int e = recoverAside(folder, name, restored)) {
    setFileError(error, e, path, "put back");
    return false;
  }
  return true;
}

bool FileManager::isWritableFileAtPath(const std::string& path) {
  return access(path.c_str(), W_OK) == 0;
}

std::optional<std::string> FileManager::canonicalPath(const std::string& path,
                                                      base::FileError* error) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (resolved) return std::string(resolved.get());
  noteLookFailure(errno, path);
  setFileError(error, errno, path, "opened");
  return std::nullopt;
}

bool FileManager::moveItemBelowRoot(const DestinationRoot& root, const std::string& from,
                                    const std::string& to, base::FileError* error) {
  dropListings();
  std::string fromName, toName;
  int fromFolder = openParentBelowRoot(root, from, false, "moved", &fromName, nullptr, error);
  if (fromFolder < 0) return false;
  FdCloser fromCloser(fromFolder);
  int toFolder = openParentBelowRoot(root, to, false, "moved", &toName, nullptr, error);
  if (toFolder < 0) return false;
  FdCloser toCloser(toFolder);
  int e = 0;
  if (renameat2(fromFolder, fromName.c_str(), toFolder, toName.c_str(), RENAME_NOREPLACE) != 0) {
    e = errno;
    if (e == EINVAL || e == ENOSYS || e == EOPNOTSUPP || e == ENOTSUP) {
      // A file system without it (FAT through some drivers): look, then
      // rename; only a concurrent writer of the same name could slip in.
      struct stat st;
      if (fstatat(toFolder, toName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        e = EEXIST;
      else if (errno != ENOENT)
        e = errno;
      else
        e = renameat(fromFolder, fromName.c_str(), toFolder, toName.c_str()) == 0 ? 0 : errno;
    }
  }
  if (e == 0) return true;
  setFileError(error, e, from, "moved");
  if (error) error->path = from;
  return false;
}

bool FileManager::removeItemBelowRoot(const DestinationRoot& root, const std::string& path,
                                      RemoveKind kind, base::FileError* error) {
  dropListings();
  std::string name;
  int folder = openParentBelowRoot(root, path, false, "removed", &name, nullptr, error);
  if (folder < 0) return false;
  FdCloser folderCloser(folder);
  int e = 0;
  if (kind == RemoveKind::kEmptyFolder) {
    if (unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0) e = errno;
  } else {
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      e = errno;
    } else if (S_ISDIR(st.st_mode)) {
      e = EISDIR;
    } else if (unlinkat(folder, name.c_str(), 0) != 0) {
      e = errno;
    }
  }
  if (e == 0) return true;
  setFileError(error, e, path, "removed");
  if (error) error->path = path;
  return false;
}

namespace {

// Walks the open folder `dir` (taken over) into `out`, one fstatat per item
// as find makes; a folder below that cannot be opened or read is noted.
void walkFolder(int dir, const std::string& path, const std::string& prefix,
                const std::vector<std::string>& skip, std::vector<TreeItem>* out,
                const std::function<void(int, const std::string&)>& note) {
  DIR* d = fdopendir(dir);
  if (d == nullptr) {
    note(errno, path);
    close(dir);
    return;
  }
  errno = 0;
  while (struct dirent* e = readdir(d)) {
    std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    if (prefix.empty() && std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
    struct stat st;
    std::string relative = prefix + std::string(name);
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      note(errno, path + "/" + std::string(name));
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      int sub = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0)
        walkFolder(sub, path + "/" + std::string(name), relative + "/", skip, out, note);
      else
        note(errno, path + "/" + std::string(name));
    }
    out->push_back({std::move(relative), attributesOfStat(st)});
    errno = 0;
  }
  if (errno != 0) note(errno, path);
  closedir(d);
}

}  // namespace

std::optional<std::vector<TreeItem>> FileManager::itemsBelowPath(
    const std::string& path, const std::vector<std::string>& skipAtTop, base::FileError* error) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    noteLookFailure(errno, path);
    setFileError(error, errno, path, "opened");
    return std::nullopt;
  }
  std::vector<TreeItem> items;
  walkFolder(fd, path, "", skipAtTop, &items,
             [this](int code, const std::string& where) { noteLookFailure(code, where); });
  return items;
}

}  // namespace fs
