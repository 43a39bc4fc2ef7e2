// The per-playlist step of a copy run, and the run on the calling thread.
#include <future>
#include <optional>
#include <unordered_set>

#include "catalogue/CTrackList.h"
#include "platform/DockProgressFactory.h"
#include "platform/RunLoop.h"
#include "shell/stAutoReleasePool.h"

namespace catalogue {

namespace {

// A batch closes at whichever limit it reaches first. Flushing many files
// at once is what makes a run fast; the limits keep the progress moving
// and bound the descriptors held open (two batches at most).
constexpr size_t kBatchCopies = 64;
constexpr uint64_t kBatchBytes = 64ull << 20;

// Tracks in array order, with whether each one's copy is in the batch.
struct PendingBatch {
  std::unique_ptr<platform::CopyBatch> copies;
  std::vector<std::pair<CTrack::Ptr, bool>> tracks;
  std::vector<std::string> destinations;  // of the staged copies
};

}  // namespace

uint64_t CTrackList::doCopyWithAlreadyCopied(uint64_t alreadyCopied,
                                             const std::shared_ptr<platform::ProgressIndicator>& indicator,
                                             const std::function<void(uint64_t)>& onProgress) {
  CopyContext context;
  context.onProgress = onProgress;
  return doCopyWithAlreadyCopied(alreadyCopied, indicator, context);
}

uint64_t CTrackList::doCopyWithAlreadyCopied(uint64_t alreadyCopied,
                                             const std::shared_ptr<platform::ProgressIndicator>& indicator,
                                             const CopyContext& context) {
  auto fm = platform::FileManager::makePrivate();
  uint64_t count = alreadyCopied;
  TrackArrayPtr tracks = trackList();
  auto& loop = platform::MainRunLoop::shared();
  auto report = [&](uint64_t added) {
    count += added;
    if (indicator) {
      if (loop.isMainThread()) {
        indicator->setDoubleValue(static_cast<double>(count));
      } else {
        double value = static_cast<double>(count);
        loop.performAsync([indicator, value] { indicator->setDoubleValue(value); });
      }
    }
    if (context.onProgress) context.onProgress(count);
  };
  auto tell = [&](const CTrack& track, uint64_t bytes, const platform::FileError* error) {
    if (context.onTrack) context.onTrack(track, bytes, error);
  };
  // Everything is written below the root as it was when the step began:
  // a drive that goes away mid-run fails the rest instead of letting the
  // copies land wherever its path now leads.
  std::shared_ptr<const platform::DestinationRoot> root = context.root;
  if (!root) root = platform::DestinationRoot::open(CTrack::destinationBasePath().value_or(""));
  platform::CopyBatchOptions batchOptions{root, context.stop, {}, context.bytesWritten};
  auto stopping = [&] { return context.stop != nullptr && context.stop->load(std::memory_order_relaxed); };

  // One batch fills on this thread while the one before it is flushed on
  // another; tracks are counted and shown in array order once their batch
  // is done. Declared so that unwinding waits for the flush first, then
  // removes the temporaries of copies never committed.
  PendingBatch filling{fm->makeCopyBatch(batchOptions), {}};
  std::optional<PendingBatch> flushed;
  std::future<std::vector<bool>> flushing;
  std::vector<platform::FileError> flushErrors;
  std::unordered_set<std::string> unnamed;  // destinations staged, not yet named

  auto settle = [&] {
    if (!flushing.valid()) return;
    std::vector<bool> inPlace = flushing.get();
    size_t next = 0;
    for (auto& [track, staged] : flushed->tracks) {
      uint64_t added = 0;
      if (staged) {
        bool named = next < inPlace.size() && inPlace[next];
        added = track->finishCopy(*fm, named);
        if (named) {
          tell(*track, added, nullptr);
        } else {
          tell(*track, 0, next < flushErrors.size() ? &flushErrors[next] : nullptr);
        }
        ++next;
      }
      report(added);
    }
    for (const auto& destination : flushed->destinations) unnamed.erase(destination);
    flushed.reset();
  };
  auto launch = [&] {
    settle();
    flushed.emplace(std::move(filling));
    filling = PendingBatch{fm->makeCopyBatch(batchOptions), {}};
    platform::CopyBatch* copies = flushed->copies.get();
    flushing = std::async(std::launch::async, [copies, &flushErrors] { return copies->commit(&flushErrors); });
  };
  // Everything staged so far named and counted.
  auto drain = [&] {
    if (filling.copies->pendingCount() > 0) launch();
    settle();
    for (size_t i = 0; i < filling.tracks.size(); ++i) report(0);
    filling.tracks.clear();
  };

  for (const auto& track : *tracks) {
    if (stopping()) break;
    // A file listed twice (or two tracks sharing a destination) is
    // copied by its first listing; the later one must see it named.
    if (!unnamed.empty()) {
      auto destination = track->absDestinationPath();
      if (destination && unnamed.count(*destination) != 0) drain();
    }
    platform::FileError error;
    bool staged = track->stageCopy(*fm, *filling.copies, &error);
    // A track with nothing to copy says nothing; one that could not be
    // staged says why.
    if (!staged && error.code != 0) tell(*track, 0, &error);
    if (!staged && filling.tracks.empty() && !flushing.valid()) {
      report(0);
      continue;
    }
    if (staged) {
      if (auto destination = track->absDestinationPath()) {
        unnamed.insert(*destination);
        filling.destinations.push_back(std::move(*destination));
      }
    }
    filling.tracks.emplace_back(track, staged);
    if (filling.copies->pendingCount() >= kBatchCopies || filling.copies->pendingBytes() >= kBatchBytes) launch();
  }
  drain();
  return count;
}

void CTrackList::copyPlaylistUniqueIDs(const Texts& requested) {
  shell::stAutoReleasePool pool;
  // A playlist listed twice is copied (and shown on the bar) once.
  Texts uniqueIDs = uniqueInOrder(requested);
  double total = netCopyTotalUniqueIDs(uniqueIDs);
  auto indicator = platform::makeDockProgressIndicator();
  if (indicator) {
    indicator->setMinValue(0);
    indicator->setMaxValue(total);
    indicator->setDoubleValue(0);
  }
  uint64_t count = 0;
  for (const auto& id : uniqueIDs) {
    shell::stAutoReleasePool playlistPool;
    if (auto list = trackListForUniqueID(id)) count = list->doCopyWithAlreadyCopied(count, indicator);
  }
  if (indicator) indicator->setHidden(true);
}

}  // namespace catalogue
