#include "platform/WholeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Format.h"

namespace platform {

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

}  // namespace platform
