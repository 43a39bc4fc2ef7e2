// The per-playlist step of a copy run, and the run on the calling thread.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>

#include "compat/catalogue/CTrackList.h"
#include "compat/catalogue/ScriptCopyRecord.h"
#include "compat/drawing/DockProgressFactory.h"
#include "compat/runtime/RunLoop.h"
#include "compat/shell/stAutoReleasePool.h"

namespace catalogue {

namespace {

constexpr size_t kFirstBatchCopies = fs::CopyBatchLimits::kFirstCopies;
constexpr size_t kMaxBatchCopies = fs::CopyBatchLimits::kMaxCopies;
constexpr uint64_t kFirstBatchBytes = fs::CopyBatchLimits::kFirstBytes;
constexpr uint64_t kMaxBatchBytes = fs::CopyBatchLimits::kMaxBytes;

// The thread that flushes and names one batch while the next one fills:
// one thread for the whole step, handed one batch at a time.
class Flusher {
 public:
  ~Flusher() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  // Starts the commit of `batch`; at most one is under way.
  void start(fs::CopyBatch* batch, std::vector<base::FileError>* errors) {
    if (!thread_.joinable()) thread_ = std::thread([this] { serve(); });
    started_ = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batch_ = batch;
      errors_ = errors;
      busy_ = true;
    }
    wake_.notify_all();
  }
  bool busy() const { return started_; }
  // Waits for the commit started last and hands over its result.
  std::vector<bool> wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return !busy_; });
    started_ = false;
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    return std::move(result_);
  }

 private:
  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return quit_ || (busy_ && batch_ != nullptr); });
      if (busy_ && batch_ != nullptr) {
        fs::CopyBatch* batch = std::exchange(batch_, nullptr);
        lock.unlock();
        std::vector<bool> result;
        std::exception_ptr error;
        try {
          result = batch->commit(errors_);
        } catch (...) {
          error = std::current_exception();
        }
        lock.lock();
        result_ = std::move(result);
        error_ = error;
        busy_ = false;
        done_.notify_all();
        continue;
      }
      if (quit_) return;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  fs::CopyBatch* batch_ = nullptr;
  std::vector<base::FileError>* errors_ = nullptr;
  std::vector<bool> result_;
  std::exception_ptr error_;
  bool busy_ = false, quit_ = false;
  bool started_ = false;  // only touched by the filling thread
  std::thread thread_;
};

// Values for the dock bar, in order, handed to the main thread in runs:
// at most one call is queued at a time and at most one per kFeedPeriod,
// and it serves every value sent since the last one ran, so a run of many
// small tracks does not wake the main thread per track. flush() hands
// over what waits (after each batch, and at the end).
constexpr auto kFeedPeriod = std::chrono::milliseconds(16);

class IndicatorFeed : public std::enable_shared_from_this<IndicatorFeed> {
 public:
  explicit IndicatorFeed(std::shared_ptr<platform::ProgressIndicator> indicator)
      : indicator_(std::move(indicator)) {}
  void send(double value) {
    auto now = std::chrono::steady_clock::now();
    bool post;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.push_back(value);
      post = !queued_ && now - lastPost_ >= kFeedPeriod;
      if (post) {
        queued_ = true;
        lastPost_ = now;
      }
    }
    if (post) postShow();
  }
  void flush() {
    bool post;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      post = !queued_ && !pending_.empty();
      if (post) {
        queued_ = true;
        lastPost_ = std::chrono::steady_clock::now();
      }
    }
    if (post) postShow();
  }

 private:
  void postShow() {
    platform::MainRunLoop::shared().performAsync([self = shared_from_this()] { self->show(); });
  }
  void show() {
    std::vector<double> values;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      values.swap(pending_);
      queued_ = false;
    }
    for (double v : values) indicator_->setDoubleValue(v);
  }
  std::shared_ptr<platform::ProgressIndicator> indicator_;
  std::mutex mutex_;
  std::vector<double> pending_;
  bool queued_ = false;
  std::chrono::steady_clock::time_point lastPost_;
};

// Tracks in array order, with whether each one's copy is in the batch.
struct PendingBatch {
  std::unique_ptr<fs::CopyBatch> copies;
  std::vector<std::pair<CTrack::Ptr, bool>> tracks;
  std::vector<std::string> destinations;  // of the staged copies
  std::shared_ptr<ScriptCopyRecord::Ids> ids;
};

}  // namespace

uint64_t CTrackList::doCopyWithAlreadyCopied(
    uint64_t alreadyCopied, const std::shared_ptr<platform::ProgressIndicator>& indicator,
    const std::function<void(uint64_t)>& onProgress) {
  CopyContext context;
  context.onProgress = onProgress;
  return doCopyWithAlreadyCopied(alreadyCopied, indicator, context);
}

uint64_t CTrackList::doCopyWithAlreadyCopied(
    uint64_t alreadyCopied, const std::shared_ptr<platform::ProgressIndicator>& indicator,
    const CopyContext& context) {
  auto fm = fs::FileManager::makePrivate();
  uint64_t count = alreadyCopied;
  TrackArrayPtr tracks = trackList();
  bool onMainThread = platform::MainRunLoop::shared().isMainThread();
  std::shared_ptr<IndicatorFeed> feed;
  if (indicator && !onMainThread) feed = std::make_shared<IndicatorFeed>(indicator);
  auto report = [&](uint64_t added) {
    count += added;
    if (indicator) {
      if (onMainThread) {
        indicator->setDoubleValue(static_cast<double>(count));
      } else {
        feed->send(static_cast<double>(count));
      }
    }
    if (context.onProgress) context.onProgress(count);
  };
  auto tell = [&](const CTrack& track, uint64_t bytes, const base::FileError* error) {
    if (context.onTrack) context.onTrack(track, bytes, error);
  };
  // Everything is written below the root as it was when the step began:
  // a drive that goes away mid-run fails the rest instead of letting the
  // copies land wherever its path now leads.
  std::shared_ptr<const fs::DestinationRoot> root = context.root;
  if (!root) root = fs::DestinationRoot::open(CTrack::destinationBasePath().value_or(""));
  fs::CopyBatchOptions batchOptions{root, context.stop, {}, context.bytesWritten};
  std::shared_ptr<ScriptCopyRecord> identities =
      root ? ScriptCopyRecord::of(root->path()) : nullptr;
  // Each batch has its own table of IDs: one fills while the one before
  // it is committed on another thread.
  auto newBatch = [&] {
    PendingBatch batch{nullptr, {}, {}, std::make_shared<ScriptCopyRecord::Ids>()};
    fs::CopyBatchOptions options = batchOptions;
    if (identities) identities->prepare(options, batch.ids);
    batch.copies = fm->makeCopyBatch(options);
    return batch;
  };
  auto stopping = [&] {
    return context.stop != nullptr && context.stop->load(std::memory_order_relaxed);
  };

  // One batch fills on this thread while the one before it is flushed on
  // another; tracks are counted and shown in array order once their batch
  // is done. Declared so that unwinding waits for the flush first, then
  // removes the temporaries of copies never committed.
  PendingBatch filling = newBatch();
  std::optional<PendingBatch> flushed;
  std::vector<base::FileError> flushErrors;
  Flusher flushing;
  size_t batchCopies = kFirstBatchCopies;
  uint64_t batchBytes = kFirstBatchBytes;
  std::unordered_set<std::string> unnamed;  // destinations staged, not yet named

  auto settle = [&] {
    if (!flushing.busy()) return;
    std::vector<bool> inPlace = flushing.wait();
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
    if (feed) feed->flush();
  };
  auto launch = [&] {
    settle();
    flushed.emplace(std::move(filling));
    filling = newBatch();
    flushing.start(flushed->copies.get(), &flushErrors);
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
    base::FileError error;
    bool staged = track->stageCopy(*fm, *filling.copies, &error);
    // A track with nothing to copy says nothing; one that could not be
    // staged says why.
    if (!staged && error.code != 0) tell(*track, 0, &error);
    if (!staged && filling.tracks.empty() && !flushing.busy()) {
      report(0);
      continue;
    }
    if (staged) {
      if (auto destination = track->absDestinationPath()) {
        unnamed.insert(*destination);
        filling.ids->emplace(*destination, track->uniqueID());
        filling.destinations.push_back(std::move(*destination));
      }
    }
    filling.tracks.emplace_back(track, staged);
    if (filling.copies->pendingCount() >= batchCopies ||
        filling.copies->pendingBytes() >= batchBytes) {
      launch();
      batchCopies = std::min(2 * batchCopies, kMaxBatchCopies);
      batchBytes = std::min(2 * batchBytes, kMaxBatchBytes);
    }
  }
  drain();
  if (feed) feed->flush();
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
    if (auto list = trackListForUniqueID(id))
      count = list->doCopyWithAlreadyCopied(count, indicator);
  }
  if (indicator) indicator->setHidden(true);
}

}  // namespace catalogue
