// One piece of work on a detached thread of its own, and the means to
// ask whether it still runs or to wait for its end: what the copy run and
// the playlist generator share.
//
// Thread: start() once, from any thread; isRunning() and
// waitUntilFinished() from any thread.
// Ownership: the work is moved to the thread; whatever it captures (its
// owner, by shared pointer) lives until it returns, so the owner of this
// object may be dropped while it runs.
// Errors: the work must not throw; the callers contain their exceptions.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace exporter {

class BackgroundRun {
 public:
  void start(std::function<void()> work);
  // True from start() until the work has returned.
  bool isRunning() const;
  // Returns at once when nothing was started.
  void waitUntilFinished() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<std::atomic<bool>> finished_;
};

}  // namespace exporter
