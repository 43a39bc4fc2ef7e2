// A value behind its own lock, for the fields of shared objects that are
// read and replaced whole from several threads: get() answers a copy,
// set() and exchange() replace it, update() reads and changes it in one
// step (a value made on first use). Fields that must change together
// share one lock of their owner instead.
//
// Thread: every member may be called from any thread.
// Ownership: holds its value; neither copyable nor movable.
// Errors: none thrown beyond T's own copies.
#pragma once

#include <mutex>
#include <utility>

namespace base {

template <class T>
class Guarded {
 public:
  Guarded() = default;
  explicit Guarded(T value) : value_(std::move(value)) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  T get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }
  void set(T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ = std::move(value);
  }
  // Replaces the value and answers the one before, so that the caller
  // can let it go outside the lock.
  T exchange(T value) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(value_, std::move(value));
  }
  // Calls f(value) under the lock and answers what f answers; f must not
  // reach this value again.
  template <class F>
  auto update(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(value_);
  }

 private:
  mutable std::mutex mutex_;
  T value_{};
};

}  // namespace base
