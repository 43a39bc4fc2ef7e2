#include "session/CopyRun.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <optional>

#include "platform/DestinationRoot.h"

namespace session {
namespace {

// A batch closes at whichever limit it reaches first. Flushing many files
// at once is what makes a run fast (each flush of the file system waits
// for its journal); the first batches are small so that the first tracks
// are committed soon, and each one after doubles its limits up to the
// largest. Progress moves with the bytes written, so the limits only
// bound how much a stop or a failed flush has to take back.
constexpr size_t kFirstBatchCopies = 64;
constexpr size_t kMaxBatchCopies = 1024;
constexpr uint64_t kFirstBatchBytes = 64ull << 20;
constexpr uint64_t kMaxBatchBytes = 256ull << 20;
constexpr auto kProgressPeriod = std::chrono::milliseconds(20);

struct Batch {
  std::unique_ptr<platform::CopyBatch> copies;
  std::vector<uint32_t> tracks;  // in the order added
};

}  // namespace

CopyReport runCopies(const Snapshot& snapshot, const std::vector<uint32_t>& copies,
                     const Observed& observed, const CopyTarget& target,
                     platform::FileManager& fileManager, const std::atomic<bool>* stop,
                     const std::function<void(const CopyEvent&)>& progress) {
  CopyReport report;
  static const std::atomic<bool> kNever{false};
  const std::atomic<bool>& stopping = stop != nullptr ? *stop : kNever;
  std::atomic<uint64_t> written{0};

  auto lastEvent = std::chrono::steady_clock::now() - kProgressPeriod;
  auto tell = [&](bool now) {
    if (!progress) return;
    auto at = std::chrono::steady_clock::now();
    if (!now && at - lastEvent < kProgressPeriod) return;
    lastEvent = at;
    progress(
        {std::min(written.load(std::memory_order_relaxed), target.totalBytes), target.totalBytes});
  };
  platform::CopyBatchOptions options{target.root, stop,
                                     [&](uint64_t, uint64_t*) {
                                       tell(false);
                                       return 0;
                                     },
                                     &written};

  // One batch fills on this thread while the one before it is flushed and
  // named on another. Declared so that unwinding waits for the flush
  // before the batches (and their temporaries) go.
  Batch filling{fileManager.makeCopyBatch(options), {}};
  std::optional<Batch> flushed;
  std::vector<platform::FileError> flushErrors;
  std::future<std::vector<bool>> flushing;
  auto settle = [&] {
    if (!flushing.valid()) return;
    std::vector<bool> named = flushing.get();
    for (size_t i = 0; i < flushed->tracks.size(); ++i) {
      uint32_t track = flushed->tracks[i];
      if (i < named.size() && named[i]) {
        report.placed.push_back(track);
        report.bytesPlaced += observed.sourceBytes[track];
      } else {
        report.failures.push_back(
            {track, i < flushErrors.size() ? flushErrors[i] : platform::FileError{}});
      }
    }
    flushed.reset();
  };
  auto launch = [&] {
    settle();
    flushed.emplace(std::move(filling));
    filling = Batch{fileManager.makeCopyBatch(options), {}};
    flushErrors.clear();
    platform::CopyBatch* batch = flushed->copies.get();
    flushing = std::async(std::launch::async,
                          [batch, &flushErrors] { return batch->commit(&flushErrors); });
  };

  size_t batchCopies = kFirstBatchCopies;
  uint64_t batchBytes = kFirstBatchBytes;
  std::string destination;
  for (uint32_t track : copies) {
    if (stopping.load()) break;
    const SnapshotTrack& t = snapshot.tracks[track];
    destination = target.musicRoot + "/" + t.destination;
    platform::FileError error;
    if (!filling.copies->addCopy(t.source, destination, &error)) {
      report.failures.push_back({track, error});
      continue;
    }
    filling.tracks.push_back(track);
    tell(false);
    if (filling.copies->pendingCount() >= batchCopies ||
        filling.copies->pendingBytes() >= batchBytes) {
      launch();
      batchCopies = std::min(2 * batchCopies, kMaxBatchCopies);
      batchBytes = std::min(2 * batchBytes, kMaxBatchBytes);
    }
  }
  if (filling.copies->pendingCount() > 0) launch();
  settle();
  tell(true);
  return report;
}

}  // namespace session
