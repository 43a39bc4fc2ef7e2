#include "fs/DestinationRoot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fs/PosixFileManager.h"
#include "fs/ReplaceFile.h"
#include "fs/StateFile.h"

namespace fs {
namespace {

bool badComponent(std::string_view part) { return part.empty() || part == "." || part == ".."; }

// Record lines escape the three bytes that would break a line apart.
std::string escapeRecordLine(std::string_view path) {
  std::string out;
  out.reserve(path.size() + 1);
  for (char c : path) {
    if (c == '%') {
      out += "%25";
    } else if (c == '\n') {
      out += "%0A";
    } else if (c == '\r') {
      out += "%0D";
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\n');
  return out;
}

}  // namespace

std::string DestinationRoot::decodeRecordLine(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '%' && i + 2 < line.size()) {
      std::string_view code = line.substr(i + 1, 2);
      if (code == "25" || code == "0A" || code == "0D") {
        out.push_back(code == "25" ? '%' : code == "0A" ? '\n' : '\r');
        i += 2;
        continue;
      }
    }
    out.push_back(line[i]);
  }
  return out;
}

std::shared_ptr<DestinationRoot> DestinationRoot::open(const std::string& path) {
  std::shared_ptr<DestinationRoot> root(new DestinationRoot);
  root->path_ = path;
  while (root->path_.size() > 1 && root->path_.back() == '/') root->path_.pop_back();
  if (root->path_.empty() || root->path_[0] != '/') {
    root->openError_.code = ENOENT;
    root->openError_.path = path;
    root->openError_.localizedDescription = "No destination folder is set.";
    return root;
  }
  int fd = ::open(root->path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    int e = errno;
    if (fd >= 0) close(fd);
    setFileError(&root->openError_, e, root->path_, "opened");
    root->openError_.path = root->path_;
    return root;
  }
  root->fd_ = fd;
  root->device_ = st.st_dev;
  root->inode_ = st.st_ino;
  return root;
}

DestinationRoot::~DestinationRoot() {
  lock_.reset();
  if (fd_ >= 0) close(fd_);
}

int DestinationRoot::check() const {
  if (fd_ < 0) return openError_.code != 0 ? openError_.code : ENOENT;
  if (gone_.load(std::memory_order_relaxed)) return ENODEV;
  struct stat st;
  if (stat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) return 0;
  gone_.store(true, std::memory_order_relaxed);
  return ENODEV;
}

void DestinationRoot::describe(int code, const std::string& item, base::FileError* error) const {
  if (error == nullptr) return;
  if (fd_ < 0) {
    *error = openError_;
    return;
  }
  error->code = code;
  error->path = item;
  if (code == ENODEV) {
    error->localizedDescription =
        "The destination folder “" + path_ + "” is gone: the drive was removed.";
  } else {
    setFileError(error, code, item, "written");
    error->path = item;
  }
}

std::optional<std::string> DestinationRoot::relativePath(std::string_view absolute) const {
  if (absolute.size() < path_.size() || absolute.compare(0, path_.size(), path_) != 0)
    return std::nullopt;
  std::string_view rest = absolute.substr(path_.size());
  if (path_ != "/") {
    if (rest.empty()) return std::string();
    if (rest[0] != '/') return std::nullopt;
    rest.remove_prefix(1);
  }
  std::string relative(rest);
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string_view::npos) end = rest.size();
    if (badComponent(rest.substr(start, end - start)) && !rest.empty()) return std::nullopt;
    start = end + 1;
  }
  return relative;
}

int DestinationRoot::openChild(int folder, const std::string& name, bool create, bool* made,
                               bool likelyMissing) {
  if (badComponent(name)) return -EINVAL;
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  // When making it first fails (it was there after all, or it cannot be
  // made), the usual way tells which.
  bool madeFirst = create && likelyMissing && mkdirat(folder, name.c_str(), 0755) == 0;
  if (madeFirst && made) *made = true;
  int next = openat(folder, name.c_str(), kFlags);
  if (!madeFirst && next < 0 && errno == ENOENT && create) {
    if (mkdirat(folder, name.c_str(), 0755) == 0) {
      if (made) *made = true;
    } else if (errno != EEXIST) {
      return -errno;
    }
    next = openat(folder, name.c_str(), kFlags);
  }
  if (next >= 0) return next;
  int e = errno;
  // O_NOFOLLOW with O_DIRECTORY reports a link as either.
  if (e == ENOTDIR) {
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
      e = ELOOP;
  }
  return -e;
}

int DestinationRoot::openFolder(std::string_view relative, bool create) const {
  if (int e = check()) return -e;
  int current = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (current < 0) return -errno;
  size_t start = 0;
  std::string part;
  while (start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    part.assign(relative.substr(start, end - start));
    start = end + 1;
    int next = openChild(current, part, create);
    close(current);
    if (next < 0) return next;
    current = next;
  }
  return current;
}

int DestinationRoot::openStateFolder(bool create) const {
  int folder = openFolder(kStateFolder, create);
  return folder;
}

int DestinationRoot::record(const std::vector<std::string>& relativePaths, bool flush) const {
  if (relativePaths.empty()) return 0;
  int folder = openStateFolder(true);
  if (folder < 0) return -folder;
  std::string text;
  for (const auto& p : relativePaths) text += escapeRecordLine(p);
  // Only a regular file of the drive's own is appended to: a link, FIFO
  // or device there is refused, and one with other hard links (a snapshot
  // made with `cp -al`) is replaced by a fresh copy, never written through.
  const std::string display = path_ + "/" + kStateFolder + "/" + kRecordFile;
  struct stat st;
  auto opened = openStateFile(folder, kRecordFile, O_RDWR | O_APPEND | O_CREAT, display, &st);
  if (!opened) {
    close(folder);
    return opened.status().code() != 0 ? opened.status().code() : EINVAL;
  }
  int fd = *opened;
  // A line a full drive or a kill cut short ends before the new ones
  // start, rather than running into the first of them.
  char last = '\n';
  if (st.st_nlink <= 1 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
      last != '\n')
    text.insert(text.begin(), '\n');
  if (st.st_nlink > 1) {
    close(fd);
    int e = 0;
    auto reading = openStateFile(folder, kRecordFile, O_RDONLY, display, &st);
    if (!reading) {
      e = reading.status().code() != 0 ? reading.status().code() : EINVAL;
    } else {
      auto old = readStateFile(*reading, size_t{256} << 20, display);
      close(*reading);
      if (!old) {
        e = old.status().code() != 0 ? old.status().code() : EINVAL;
      } else {
        // A line a kill cut short ends before the new ones start.
        std::string whole = std::move(*old);
        if (!whole.empty() && whole.back() != '\n') whole += '\n';
        base::Status replaced = replaceStateFile(folder, kRecordFile, whole + text, display);
        if (!replaced.ok()) e = replaced.code() != 0 ? replaced.code() : EIO;
      }
    }
    close(folder);
    return e;
  }
  base::Status appended =
      appendStateFile(folder, kRecordFile, fd, text, flush, size_t{256} << 20, display);
  close(folder);
  int e = appended.ok() ? 0 : (appended.code() != 0 ? appended.code() : EIO);
  if (close(fd) != 0 && e == 0) e = errno;
  return e;
}

namespace {
constexpr const char* kIntentsFile = "temporaries";
}  // namespace

const std::string& DestinationRoot::runToken() {
  // The process number alone repeats across runs; a random part makes a
  // token no other run, and no name of the user's, has.
  static const std::string token = [] {
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, 0) != sizeof random)
      random = static_cast<uint64_t>(time(nullptr)) * 2654435761u;
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(random));
    return std::to_string(getpid()) + "_" + hex;
  }();
  return token;
}

std::string_view DestinationRoot::tokenOf(std::string_view name) {
  constexpr std::string_view prefix = FileManager::kPartialCopyPrefix;
  if (name.substr(0, prefix.size()) != prefix) return {};
  name.remove_prefix(prefix.size());
  size_t dot = name.find('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(0, dot);
}

int DestinationRoot::appendIntent(const std::string& line) const {
  int folder = openStateFolder(true);
  if (folder < 0) return -folder;
  const std::string display = path_ + "/" + kStateFolder + "/" + kIntentsFile;
  struct stat st;
  auto opened = openStateFile(folder, kIntentsFile, O_RDWR | O_APPEND | O_CREAT, display, &st);
  if (!opened) {
    close(folder);
    return opened.status().code() != 0 ? opened.status().code() : EINVAL;
  }
  std::string text = line + "\n";
  char last = '\n';
  if (st.st_size > 0 && pread(*opened, &last, 1, st.st_size - 1) == 1 && last != '\n')
    text.insert(text.begin(), '\n');
  base::Status appended =
      appendStateFile(folder, kIntentsFile, *opened, text, true, size_t{16} << 20, display);
  close(folder);
  int e = appended.ok() ? 0 : (appended.code() != 0 ? appended.code() : EIO);
  if (close(*opened) != 0 && e == 0) e = errno;
  return e;
}

int DestinationRoot::noteTemporaries() const {
  if (noted_.load()) return 0;
  int e = appendIntent("run " + runToken());
  if (e == 0) noted_.store(true);
  return e;
}

int DestinationRoot::noteAside(const std::string& relative) const {
  return appendIntent("aside " + relative);
}

std::optional<std::string> DestinationRoot::readState(const char* name, size_t limit) const {
  if (fd_ < 0) return std::nullopt;
  int folder = openFolder(kStateFolder, false);
  if (folder < 0) return std::nullopt;
  // A FIFO or device there is refused without being read.
  struct stat st;
  auto opened = openStateFile(folder, name, O_RDONLY, path_ + "/" + kStateFolder + "/" + name, &st);
  close(folder);
  if (!opened) return std::nullopt;
  auto read = readStateFile(*opened, limit, path_);
  close(*opened);
  if (!read) return std::nullopt;
  return std::move(*read);
}

std::unordered_set<std::string> DestinationRoot::intents() const {
  std::unordered_set<std::string> lines;
  auto read = readState(kIntentsFile, size_t{16} << 20);
  if (!read) return lines;
  size_t start = 0;
  while (start < read->size()) {
    size_t end = read->find('\n', start);
    if (end == std::string::npos) end = read->size();
    if (end > start) lines.insert(read->substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

int DestinationRoot::clearIntents() const {
  int folder = openStateFolder(false);
  if (folder == -ENOENT) return 0;
  if (folder < 0) return -folder;
  int e = unlinkat(folder, kIntentsFile, 0) == 0 || errno == ENOENT ? 0 : errno;
  close(folder);
  // This run may make temporaries again: noted anew first.
  if (e == 0) noted_.store(false);
  return e;
}

PathSet DestinationRoot::readRecord() const {
  PathSet paths;
  auto read = readState(kRecordFile, size_t{256} << 20);
  if (!read) return paths;
  std::string text = std::move(*read);
  // A path a line, of some eighty bytes, most of them named once.
  paths.reserve(text.size() / 80);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    // A line cut short by a kill names no committed file: its commit
    // waits for the whole write.
    if (end == std::string::npos) break;
    std::string_view line = std::string_view(text).substr(start, end - start);
    // Only a line with an escape in it needs decoding.
    if (line.find('%') != std::string_view::npos)
      paths.insert(decodeRecordLine(line));
    else if (!line.empty())
      paths.emplace(line);
    start = end + 1;
  }
  return paths;
}

int DestinationRoot::forget(const std::vector<std::string>& relativePaths) const {
  if (relativePaths.empty()) return 0;
  PathSet kept = readRecord();
  for (const auto& p : relativePaths) kept.erase(p);
  int folder = openStateFolder(false);
  if (folder < 0) return -folder;
  std::string temporary = std::string(kRecordFile) + ".new";
  // A plain file a kill left there is ours to drop; anything else (a FIFO,
  // which would hold the export in open() with the lock taken, a device,
  // a link) is refused without being opened.
  struct stat st;
  int e = 0;
  if (fstatat(folder, temporary.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(st.st_mode))
      e = EINVAL;
    else if (unlinkat(folder, temporary.c_str(), 0) != 0)
      e = errno;
  }
  int fd = e != 0 ? -1
                  : openat(folder, temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (e == 0 && fd < 0) e = errno;
  if (fd >= 0) {
    std::string text;
    for (const auto& p : kept) text += escapeRecordLine(p);
    e = writeAll(fd, text.data(), text.size());
    if (e == 0 && fsync(fd) != 0) e = errno;
    if (close(fd) != 0 && e == 0) e = errno;
    if (e == 0) e = replaceByRename(folder, temporary, kRecordFile);
    if (e != 0) unlinkat(folder, temporary.c_str(), 0);
  }
  close(folder);
  return e;
}

int DestinationRoot::lock(std::string* holder) {
  if (lock_) return 0;
  base::Result<RootLock> held = shareLock(holder);
  if (!held) return held.status().code() != 0 ? held.status().code() : EIO;
  lock_.emplace(std::move(*held));
  return 0;
}

base::Result<RootLock> DestinationRoot::shareLock(std::string* holder) const {
  std::string display = path_ + "/" + kStateFolder + "/" + kLockFile;
  int folder = openStateFolder(true);
  if (folder < 0) return base::Status::fromErrno(-folder, "cannot open the folder of", display);
  base::Result<RootLock> held = RootLock::acquire(folder, device_, inode_, display, holder);
  close(folder);
  return held;
}

std::optional<std::string> DestinationRoot::exportRootOf(const std::string& tracksFolder,
                                                         std::string* tracksName) {
  // By the folder it is, however it is spelled ("Music/.", a link to it):
  // the lock must be the one an export of that drive takes.
  std::string folder = tracksFolder;
  if (char* real = realpath(tracksFolder.c_str(), nullptr)) {
    folder = real;
    free(real);
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  size_t slash = folder.rfind('/');
  if (slash == std::string::npos || slash == 0) return std::nullopt;
  std::string last = folder.substr(slash + 1);
  if (tracksName) *tracksName = last;
  std::transform(last.begin(), last.end(), last.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (last != "music") return std::nullopt;
  folder.resize(slash);
  return folder;
}

std::optional<base::Result<RootLock>> DestinationRoot::lockExportOf(const std::string& tracksFolder,
                                                                    std::string* holder) {
  auto folder = exportRootOf(tracksFolder, nullptr);
  if (!folder) return std::nullopt;
  auto root = open(*folder);
  if (!root->isOpen())
    return base::Result<RootLock>(base::Status::fromFileError(root->openError()));
  return root->shareLock(holder);
}

}  // namespace fs
