// A copy run: copies every track of a chosen set of playlists that is not
// yet on the drive, on one detached background thread, while the dock
// tile shows the bytes copied so far.
//
// The script (or the command-line flow) keeps the copier and polls
// copyState until it reads kFinished (kNotStarted: an empty array starts
// nothing; then kSizing and kCopying). totalSize is final before the
// state becomes kCopying. copiedSize publishes the running count after each
// track, so a polling caller can show progress.
//
// The dock bar is set up and torn down on the main thread, each waited
// for, and values are queued to it without waiting; the main thread must
// keep its run loop turning during a run (platform::MainRunLoop).
//
// Ownership: the caller owns the copier; the run's thread keeps it and
// the array alive until it ends.
// Thread: the counters and state are atomic; read them from any thread.
// Errors: a track that cannot be copied adds 0 bytes, is counted in
// failedCount() and logged ("copy of track ID failed: REASON (PATH)"); framework
// exceptions are logged with the run's "exeception ..." lines and the
// run goes on or ends as documented. Callers that want to know more (the
// command line, the window) read failures() and committedBytes() once
// the state is 3: every track that had to be copied and is not on the
// drive is there with the file manager's reason.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Guarded.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/drawing/ProgressIndicator.h"
#include "compat/export/BackgroundRun.h"
#include "fs/DestinationRoot.h"

namespace exporter {

class CThreadCopier : public std::enable_shared_from_this<CThreadCopier> {
 public:
  using Ptr = std::shared_ptr<CThreadCopier>;
  // The script bridge shows these as the numbers 0 to 3.
  enum class CopyState : int32_t { kNotStarted = 0, kSizing = 1, kCopying = 2, kFinished = 3 };

  // Where a run writes and when it stops.
  struct Options {
    // The folder the copies go below; none: the destination root as it is
    // when the run starts.
    std::shared_ptr<const fs::DestinationRoot> root;
    // Read between tracks and between chunks of a copy: true stops the
    // run at the next track boundary (the copy under way is dropped).
    const std::atomic<bool>* stop = nullptr;
    // The bytes the run will copy, when the caller has just sized the
    // same playlists against the same drive (an export's plan): the run
    // then does not size them again. None: the run sizes them.
    std::optional<uint64_t> totalSize;
  };
  // A track that had to be copied and is not on the drive.
  struct Failure {
    std::string uniqueID;
    base::FileError error;
  };

  // Starts a run over the playlists (none started for an empty array). A
  // playlist listed twice is copied once.
  static Ptr CThreadCopierForUniqueIDs(const std::vector<std::string>& uniqueIDs);
  static Ptr CThreadCopierForUniqueIDs(const std::vector<std::string>& uniqueIDs, Options options);

  // The body of the run; called on the background thread.
  void copyPlaylistUniqueIDs(const std::vector<std::string>& uniqueIDs);
  // Main thread: create the bar (platform::makeDockProgressIndicator;
  // min 0, max totalSize, value 0) / hide and release it.
  void MTSetupDockProgress();
  void MTEndDockProgress();

  uint64_t totalSize() const { return totalSize_.load(); }
  void setTotalSize(uint64_t v) { totalSize_.store(v); }
  uint64_t copiedSize() const { return copiedSize_.load(); }
  void setCopiedSize(uint64_t v) { copiedSize_.store(v); }
  CopyState copyState() const { return copyState_.load(); }
  void setCopyState(CopyState v) { copyState_.store(v); }
  std::shared_ptr<platform::ProgressIndicator> dockProgress() const;
  void setDockProgress(std::shared_ptr<platform::ProgressIndicator> v);

  // Why tracks were not copied, in the order met; and the bytes of the
  // tracks this run put on the drive under their names.
  std::vector<Failure> failures() const;
  uint64_t committedBytes() const { return committedBytes_.load(); }
  // Tracks this run put on the drive, and tracks it tried and could not
  // (each also logged with its reason and path): copiedSize() alone
  // cannot tell a run that failed from one that had nothing to do.
  uint64_t committedCount() const { return committedCount_.load(); }
  uint64_t failedCount() const { return failedCount_.load(); }
  // The bytes written so far, also within a track being copied (copies
  // that fail leave it again): for a progress line that moves with a
  // large file.
  uint64_t bytesWritten() const { return bytesWritten_.load(std::memory_order_relaxed); }

  // Waits for the run's thread to end: its results are then final.
  void waitUntilFinished();
  // Whether a run's thread has been started and has not yet ended.
  bool isRunning() const;

 private:
  std::atomic<uint64_t> totalSize_{0};
  std::atomic<uint64_t> copiedSize_{0};
  std::atomic<CopyState> copyState_{CopyState::kNotStarted};
  base::Guarded<std::shared_ptr<platform::ProgressIndicator>> dockProgress_;
  BackgroundRun run_;
  Options options_;
  base::Guarded<std::vector<Failure>> failures_;
  std::atomic<uint64_t> committedBytes_{0};
  std::atomic<uint64_t> committedCount_{0};
  std::atomic<uint64_t> failedCount_{0};
  std::atomic<uint64_t> bytesWritten_{0};
};

}  // namespace exporter
