// A plain file opened for reading at any offset, for readers that seek
// (the media probe). FileManager::openForReading hands them out.
// Thread: one ReadableFile per thread; openForReading from any thread.
// Ownership: the ReadableFile owns its descriptor and closes it.
// Errors: a negative return is an errno value; the opener fills FileError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/Status.h"

namespace fs {

class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Up to `length` bytes at `offset` into `buffer`: how many (0 at the
  // end), or -errno.
  virtual int64_t readAt(uint64_t offset, void* buffer, size_t length) = 0;
  virtual uint64_t size() const = 0;
  const std::string& path() const { return path_; }

 protected:
  explicit ReadableFile(std::string path) : path_(std::move(path)) {}

 private:
  std::string path_;
};

// The POSIX file behind FileManager::openForReading: a regular file,
// reached without following a link at its last component, opened without
// blocking on a FIFO or device.
std::unique_ptr<ReadableFile> openPlainFile(const std::string& path, base::FileError* error);

}  // namespace fs
