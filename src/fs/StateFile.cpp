#include "fs/StateFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fs/DestinationRoot.h"
#include "fs/FileManager.h"
#include "fs/PosixFileManager.h"
#include "fs/ReplaceFile.h"

namespace fs {
namespace {

const char* kindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISDIR(mode)) return "a folder";
  return "not a plain file";
}

base::Status notRegular(mode_t mode, const std::string& display) {
  return base::Status::failure(
      "refusing to use", display,
      std::string("it is ") + kindOf(mode) + ", not a regular file as the exporter's own files are",
      S_ISLNK(mode) ? ELOOP : kNotRegularFile);
}

}  // namespace

base::Result<int> openStateFile(int folder, const std::string& given, int flags,
                                const std::string& display, struct stat* st) {
  // A replacement cut short left the file aside: a reader takes it from
  // there (changing nothing), a writer puts it back first.
  std::string name = given;
  struct stat before;
  if ((flags & O_ACCMODE) != O_RDONLY) {
    if (int e = recoverAsideOf(folder, name))
      return base::Status::fromErrno(e, "cannot put back the earlier", display);
  } else if (fstatat(folder, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT &&
             fstatat(folder, asideName(name).c_str(), &before, AT_SYMLINK_NOFOLLOW) == 0) {
    name = asideName(name);
  }
  if (fstatat(folder, name.c_str(), &before, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(before.st_mode)) return notRegular(before.st_mode, display);
  } else if (errno != ENOENT || (flags & O_CREAT) == 0) {
    return base::Status::fromErrno(errno, "cannot open", display);
  }
  int fd = openat(folder, name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return base::Status::fromErrno(errno, "cannot open", display);
  if (fstat(fd, st) != 0) {
    int e = errno;
    close(fd);
    return base::Status::fromErrno(e, "cannot examine", display);
  }
  if (!S_ISREG(st->st_mode)) {
    close(fd);
    return notRegular(st->st_mode, display);
  }
  return fd;
}

base::Result<std::string> readStateFile(int fd, size_t maxBytes, const std::string& display) {
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return base::Status::fromErrno(errno, "cannot read", display);
    if (n == 0) return text;
    if (text.size() + static_cast<size_t>(n) > maxBytes) {
      return base::Status::failure("cannot read", display,
                                   "it is larger than " + std::to_string(maxBytes) + " bytes",
                                   EFBIG);
    }
    text.append(buffer, static_cast<size_t>(n));
  }
}

base::Status replaceStateFile(int folder, const std::string& name, std::string_view bytes,
                              const std::string& display) {
  std::string temporary = name + ".new";
  std::string temporaryDisplay = display + ".new";
  struct stat st;
  // A temporary left by a kill is ours to drop, when it is a plain file.
  if (fstatat(folder, temporary.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(st.st_mode)) return notRegular(st.st_mode, temporaryDisplay);
    if (unlinkat(folder, temporary.c_str(), 0) != 0)
      return base::Status::fromErrno(errno, "cannot remove", temporaryDisplay);
  }
  int fd = openat(folder, temporary.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return base::Status::fromErrno(errno, "cannot create", temporaryDisplay);
  int e = writeAll(fd, bytes.data(), bytes.size());
  if (e == 0 && fsync(fd) != 0) e = errno;
  if (close(fd) != 0 && e == 0) e = errno;
  if (e != 0) {
    unlinkat(folder, temporary.c_str(), 0);
    return base::Status::fromErrno(e, "cannot write", temporaryDisplay);
  }
  if ((e = replaceByRename(folder, temporary, name)) != 0) {
    unlinkat(folder, temporary.c_str(), 0);
    return base::Status::fromErrno(e, "cannot rename " + temporaryDisplay + " to", display);
  }
  // The rename itself lasts only once the folder is on the disk; a file
  // system that cannot flush folders (EINVAL) has nothing to flush there.
  if (fsync(folder) != 0 && errno != EINVAL)
    return base::Status::fromErrno(errno, "cannot flush the folder of", display);
  return base::Status();
}

base::Status appendStateFile(int folder, const std::string& name, int fd, std::string_view bytes,
                             bool flush, size_t maxBytes, const std::string& display) {
  struct stat before;
  if (fstat(fd, &before) != 0) return base::Status::fromErrno(errno, "cannot examine", display);
  int e = writeAll(fd, bytes.data(), bytes.size());
  if (e == 0 && flush && fdatasync(fd) != 0) e = errno;
  struct stat after;
  if ((e == EPERM || e == EACCES) && fstat(fd, &after) == 0 && after.st_size == before.st_size) {
    struct stat st;
    base::Result<int> reading = openStateFile(folder, name, O_RDONLY, display, &st);
    if (!reading) return reading.status();
    base::Result<std::string> text = readStateFile(*reading, maxBytes, display);
    close(*reading);
    if (!text) return text.status();
    return replaceStateFile(folder, name, *text + std::string(bytes), display);
  }
  return e == 0 ? base::Status() : base::Status::fromErrno(e, "cannot append to", display);
}

std::optional<std::string> readStateText(const std::string& root, const std::string& name,
                                         size_t maxBytes, base::Status* why) {
  auto destination = DestinationRoot::open(root);
  int folder = destination->openFolder(DestinationRoot::kStateFolder, false);
  if (folder == -ENOENT) return std::string();
  if (folder < 0) {
    *why = base::Status::fromErrno(-folder, "cannot open the state folder of", root);
    return std::nullopt;
  }
  struct stat st;
  auto fd = openStateFile(folder, name, O_RDONLY, name, &st);
  close(folder);
  if (!fd && fd.status().code() == ENOENT) return std::string();
  if (!fd) {
    *why = fd.status();
    return std::nullopt;
  }
  auto text = readStateFile(*fd, maxBytes, name);
  close(*fd);
  if (!text) {
    *why = text.status();
    return std::nullopt;
  }
  return std::move(*text);
}

base::Status writeStateText(const std::string& root, const std::string& name,
                            const std::string& text) {
  auto destination = DestinationRoot::open(root);
  int folder = destination->openFolder(DestinationRoot::kStateFolder, false);
  if (folder == -ENOENT && text.empty()) return {};
  if (folder < 0) return base::Status::fromErrno(-folder, "cannot open the state folder of", root);
  base::Status written = replaceStateFile(folder, name, text, name);
  close(folder);
  return written;
}

}  // namespace fs
