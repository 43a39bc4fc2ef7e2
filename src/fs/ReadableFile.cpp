#include "fs/ReadableFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs/FileManager.h"

namespace fs {
namespace {

class PosixReadableFile : public ReadableFile {
 public:
  PosixReadableFile(std::string path, int fd, uint64_t size)
      : ReadableFile(std::move(path)), fd_(fd), size_(size) {}
  ~PosixReadableFile() override { close(fd_); }
  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    for (;;) {
      ssize_t n = pread(fd_, buffer, length, static_cast<off_t>(offset));
      if (n >= 0) return n;
      if (errno != EINTR) return -errno;
    }
  }
  uint64_t size() const override { return size_; }

 private:
  int fd_;
  uint64_t size_;
};

void setError(base::FileError* error, int code, const std::string& path) {
  if (!error) return;
  error->code = code;
  error->path = path;
  error->localizedDescription = "The file \xE2\x80\x9C" + path +
                                "\xE2\x80\x9D couldn\xE2\x80\x99t be read: " + std::strerror(code) +
                                ".";
}

}  // namespace

std::unique_ptr<ReadableFile> openPlainFile(const std::string& path, base::FileError* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    setError(error, errno, path);
    return nullptr;
  }
  struct stat st;
  int e = fstat(fd, &st) != 0   ? errno
          : S_ISDIR(st.st_mode) ? EISDIR
          : S_ISREG(st.st_mode) ? 0
                                : EINVAL;
  if (e != 0) {
    close(fd);
    setError(error, e, path);
    return nullptr;
  }
  return std::make_unique<PosixReadableFile>(path, fd, static_cast<uint64_t>(st.st_size));
}

std::unique_ptr<ReadableFile> FileManager::openForReading(const std::string& path,
                                                          base::FileError* error) {
  return openPlainFile(path, error);
}

}  // namespace fs
