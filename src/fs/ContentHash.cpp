#include "fs/ContentHash.h"

#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <new>
#include <vector>

namespace fs {

struct ContentHash::State {
  XXH3_state_t* xxh;
};

ContentHash::ContentHash() : state_(std::make_unique<State>()) {
  state_->xxh = XXH3_createState();
  if (state_->xxh == nullptr) throw std::bad_alloc();
  XXH3_64bits_reset(state_->xxh);
}

ContentHash::~ContentHash() {
  if (state_) XXH3_freeState(state_->xxh);
}

ContentHash::ContentHash(ContentHash&&) noexcept = default;
ContentHash& ContentHash::operator=(ContentHash&& other) noexcept {
  if (this != &other) {
    if (state_) XXH3_freeState(state_->xxh);
    state_ = std::move(other.state_);
  }
  return *this;
}

void ContentHash::update(const void* data, size_t length) {
  XXH3_64bits_update(state_->xxh, data, length);
}

uint64_t ContentHash::digest() const { return XXH3_64bits_digest(state_->xxh); }

void ContentHash::reset() { XXH3_64bits_reset(state_->xxh); }

base::Result<uint64_t> hashOpenFile(int fd, const std::string& name) {
  ContentHash hash;
  std::vector<char> buffer(1 << 20);
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(fd, buffer.data(), buffer.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return base::Status::fromErrno(errno, "cannot read", name);
    if (n == 0) return hash.digest();
    hash.update(buffer.data(), static_cast<size_t>(n));
    offset += n;
  }
}

}  // namespace fs
