#include "base/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/Format.h"

namespace base {

Result<std::string> readWholeFile(const std::string& path, size_t maxBytes, Oversize oversize) {
  constexpr std::string_view kAction = "cannot read";
  // Non-blocking, so that a FIFO put in a file's place cannot hang us.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Status::fromErrno(errno, kAction, path);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int error = errno;
    ::close(fd);
    return Status::fromErrno(error, kAction, path);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Status::failure(kAction, path, "it is not a regular file", EINVAL);
  }
  // Kernel tables report sizes that are not what reading gives: read
  // until the end rather than trusting st_size.
  std::string bytes;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      return Status::fromErrno(error, kAction, path);
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
    if (bytes.size() > maxBytes) {
      ::close(fd);
      if (oversize == Oversize::kTruncate) {
        bytes.resize(maxBytes);
        return bytes;
      }
      return Status::failure(kAction, path, format("it is larger than %d bytes", maxBytes), EFBIG);
    }
  }
  ::close(fd);
  return bytes;
}

Status replaceWholeFile(const std::string& path, std::string_view bytes) {
  constexpr std::string_view kAction = "cannot write";
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string temporary = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + "." +
                          path.substr(slash + 1) + ".tmp" + std::to_string(::getpid());
  int fd = ::open(temporary.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return Status::fromErrno(errno, kAction, path);
  int error = 0;
  for (size_t done = 0; done < bytes.size() && error == 0;) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return Status::fromErrno(error, kAction, path);
  }
  // The new name itself lasts only once the folder is flushed too.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return Status();
}

}  // namespace base
