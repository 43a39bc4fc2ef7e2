#include "compat/runtime/RunLoop.h"

#include <exception>
#include <memory>

namespace platform {
namespace {
// Static initialisation runs on the thread that starts the process.
const std::thread::id g_process_thread = std::this_thread::get_id();
}  // namespace

MainRunLoop::MainRunLoop() : main_(g_process_thread) {}

MainRunLoop& MainRunLoop::shared() {
  static MainRunLoop* loop = new MainRunLoop();
  return *loop;
}

void MainRunLoop::adoptCurrentThread() {
  std::lock_guard<std::mutex> lock(mutex_);
  main_ = std::this_thread::get_id();
}

bool MainRunLoop::isMainThread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return main_ == std::this_thread::get_id();
}

void MainRunLoop::performAsync(std::function<void()> call) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(call));
  }
  arrived_.notify_all();
}

void MainRunLoop::performAndWait(std::function<void()> call) {
  if (isMainThread()) {
    call();
    return;
  }
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
  };
  auto done = std::make_shared<Done>();
  performAsync([call = std::move(call), done] {
    // The exception is handed over under the lock and no copy stays on
    // this thread, so only the waiting thread ever releases it.
    std::exception_ptr error;
    try {
      call();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(done->mutex);
      done->done = true;
      done->error = std::move(error);
    }
    done->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->mutex);
  done->cv.wait(lock, [&] { return done->done; });
  std::exception_ptr error = std::move(done->error);
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

bool MainRunLoop::runOne(std::unique_lock<std::mutex>& lock) {
  if (queue_.empty()) return false;
  std::function<void()> call = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  try {
    call();
  } catch (...) {
    lock.lock();
    throw;
  }
  lock.lock();
  return true;
}

size_t MainRunLoop::runPending() {
  size_t ran = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  while (runOne(lock)) ++ran;
  return ran;
}

size_t MainRunLoop::runFor(std::chrono::milliseconds duration) {
  auto deadline = std::chrono::steady_clock::now() + duration;
  size_t ran = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (runOne(lock)) ++ran;
    if (arrived_.wait_until(lock, deadline, [&] { return !queue_.empty(); })) continue;
    return ran;
  }
}

bool MainRunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                           std::chrono::milliseconds poll) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    runPending();
    if (done()) return true;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_until(lock, std::min(deadline, now + poll), [&] { return !queue_.empty(); });
  }
}

}  // namespace platform
