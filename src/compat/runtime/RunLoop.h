// The main run loop: the queue of calls that must run on the main thread
// (the thread that runs the script or the command-line flow).
//
// Background threads hand calls to it, either waiting until the call has
// run or not; calls run in the order they were sent. The main thread
// serves them only while it pumps the loop (runPending, runFor,
// runUntil), as an event loop would. A waiting call sent from the main
// thread itself runs at once, inline.
//
// Thread: perform* from any thread; run* only from the main thread.
// Exceptions thrown by a queued call propagate out of the run* call that
// ran it (for a waiting call, out of performAndWait instead).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace platform {

class MainRunLoop {
 public:
  // The process-wide loop. Its main thread is the thread that started the
  // process (static initialisation), unless adoptCurrentThread says else.
  static MainRunLoop& shared();

  void adoptCurrentThread();
  bool isMainThread() const;

  void performAsync(std::function<void()> call);
  void performAndWait(std::function<void()> call);

  // Runs every call queued now (and those they queue); returns how many.
  size_t runPending();
  // Serves calls as they arrive for the given time.
  size_t runFor(std::chrono::milliseconds duration);
  // Serves calls until done() is true (checked after each call and at
  // least every `poll`), or the timeout passes; returns done().
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                std::chrono::milliseconds poll = std::chrono::milliseconds(20));

 private:
  MainRunLoop();
  bool runOne(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::function<void()>> queue_;
  std::thread::id main_;
};

}  // namespace platform
