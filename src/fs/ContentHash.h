// The content checksum the drive's record keeps for a file: XXH3-64,
// fed block by block so that the copier hashes what it writes while it
// writes it, without reading the file a second time.
//
// Thread: one ContentHash per thread (no locking inside); hashOpenFile
// may be called from any thread.
// Ownership: a ContentHash owns its streaming state; the descriptor
// given to hashOpenFile stays the caller's (its offset is not moved).
// Errors: hashOpenFile answers "cannot read <name>: <reason>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/Status.h"

namespace fs {

class ContentHash {
 public:
  ContentHash();
  ~ContentHash();
  ContentHash(ContentHash&&) noexcept;
  ContentHash& operator=(ContentHash&&) noexcept;

  // A moved-from object may only be assigned to or destroyed.
  void update(const void* data, size_t length);
  // The checksum of every byte fed so far; feeding may go on after it.
  uint64_t digest() const;
  // Back to the checksum of nothing, to hash another file.
  void reset();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The checksum of everything in the open file `fd` from its first byte to
// its end, read with pread; `name` is what an error calls the file.
base::Result<uint64_t> hashOpenFile(int fd, const std::string& name);

}  // namespace fs
