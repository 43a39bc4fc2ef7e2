// Per-thread pools of deferred releases.
//
// Each thread has a stack of pools. autorelease() puts a reference into
// the innermost pool of the calling thread; popping a pool drops every
// reference it holds (which may destroy the objects). With no pool open
// on the thread nothing is kept: the object lives as long as the
// references its callers hold.
//
// Thread: each thread sees only its own stack; no locking needed.
// Destructors run while a pool is drained must not throw.
#pragma once

#include <cstddef>
#include <memory>

namespace platform {

class AutoreleasePool {
 public:
  // Opens a new innermost pool on this thread; returns its depth (1 for
  // the outermost).
  static size_t push();
  // Closes the innermost pool and releases what it holds. Objects
  // autoreleased by those destructors go to the enclosing pool.
  static void pop();
  static size_t depth();
  // Number of references held by the innermost pool (0 without a pool).
  static size_t pendingCount();

  // Keeps `object` alive until the innermost pool is popped.
  static void autorelease(std::shared_ptr<void> object);
  template <class T>
  static std::shared_ptr<T> autoreleased(std::shared_ptr<T> object) {
    if (object) autorelease(std::shared_ptr<void>(object));
    return object;
  }
};

}  // namespace platform
