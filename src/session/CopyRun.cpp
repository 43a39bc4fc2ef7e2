#include "session/CopyRun.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "base/Log.h"
#include "fs/ContentHash.h"
#include "fs/DestinationRoot.h"
#include "fs/DriveRecord.h"
#include "session/DestinationLayout.h"

namespace session {
namespace {

using Limits = fs::CopyBatchLimits;
constexpr auto kProgressPeriod = std::chrono::milliseconds(20);

// The tracks of one batch by destination, for its record entries: each
// batch its own, since its flush runs on another thread while the next
// one fills.
using Staged = std::unordered_map<std::string, uint32_t>;

struct Batch {
  std::unique_ptr<fs::CopyBatch> copies;
  std::vector<uint32_t> tracks;  // in the order added
  std::shared_ptr<Staged> staged;
};

// Converts `tracks` on a pool of threads and writes each converted file
// as it is done; `tick` is called on this thread meanwhile.
void convertTracks(const Snapshot& snapshot, const std::vector<uint32_t>& tracks,
                   const Observed& observed, const CopyTarget& target, fs::FileManager& fm,
                   const std::atomic<bool>& stopping, std::atomic<uint64_t>& written,
                   std::atomic<size_t>& settled, CopyReport& report,
                   const std::function<void()>& tick) {
  std::mutex mutex;  // guards report and `running`
  std::condition_variable ended;
  std::atomic<size_t> next{0};
  size_t running = 0;
  const std::string described = describe(target.convert);
  auto convertOne = [&](uint32_t track) -> std::optional<base::FileError> {
    const SnapshotTrack& t = snapshot.tracks[track];
    const std::string destination = target.musicRoot + "/" + t.destination;
    // The conversions under way finish on a stop: a stop only starts no
    // more of them.
    auto bytes = convertMedia(fm, t.source, target.convert);
    if (!bytes)
      return base::FileError{
          kCannotConvert,
          "it could not be converted to " + described + ": " + bytes.status().message(), t.source};
    // Only the exporter's outdated copy, as the plan saw it, is replaced
    // (set aside until the new one has its name); anything else that
    // stands there now is not the exporter's.
    const bool repair = observed.at.size() > track && observed.at[track] == AtDestination::kRepair;
    auto there = fm.attributesOfItemAtPath(destination, nullptr);
    if (there && (!repair || there->size != observed.driveStamp[track].size ||
                  there->modificationTimeNs != observed.driveStamp[track].mtimeNs))
      return base::FileError{EEXIST, "", destination};
    // The folders this write makes are the exporter's, known as such
    // before the file is named.
    std::vector<std::string> made;
    for (size_t slash = destination.rfind('/');
         slash != std::string::npos && slash >= target.musicRoot.size();
         slash = destination.rfind('/', slash - 1)) {
      std::string folder = destination.substr(0, slash);
      if (fm.attributesOfItemAtPath(folder, nullptr)) break;
      made.push_back(std::move(folder));
    }
    fs::ContentHash hash;
    hash.update(bytes->data(), bytes->size());
    const uint64_t checksum = hash.digest(), size = bytes->size();
    const std::string key =
        app::DestinationLayout::collisionKey(target.recordPrefix + t.destination);
    auto recordFirst = [&](const std::vector<fs::CopyBatchOptions::Staged>& staged) -> int {
      if (!target.record) return 0;
      std::vector<fs::RecordEntry> entries;
      for (auto at = made.rbegin(); at != made.rend(); ++at)
        if (auto e = fs::folderEntry(*target.root, *at, &app::DestinationLayout::collisionKey))
          entries.push_back(std::move(*e));
      for (const auto& file : staged) {
        fs::RecordEntry e;
        e.path = target.recordPrefix + t.destination;
        e.key = key;
        e.trackId = t.id;
        e.libraryId = target.libraryId;
        e.drive = {file.size, file.modificationTimeNs};
        e.source = {observed.sourceBytes[track], observed.sourceTimeNs[track]};
        e.checksum = checksum;
        e.conversion = t.conversion;
        entries.push_back(std::move(e));
      }
      base::Status s = target.record->append(entries, true);
      return s.ok() ? 0 : (s.code() != 0 ? s.code() : EIO);
    };
    std::vector<base::FileError> errors;
    std::vector<bool> named;
    if (target.root) {
      named = fm.writeStringsBelowRoot(*target.root, {{destination, std::move(*bytes)}}, &errors,
                                       recordFirst);
    } else {
      base::FileError why;
      named = {fm.writeStringAtomically(*bytes, destination, &why)};
      errors = {why};
    }
    if (!named.front()) {
      // An entry written for a file that was then not named goes again;
      // an outdated copy left standing stays the exporter's, to be made
      // again (no source matches it).
      if (target.record && there) {
        fs::RecordEntry old;
        old.path = target.recordPrefix + t.destination;
        old.key = key;
        old.trackId = t.id;
        old.libraryId = target.libraryId;
        old.drive = observed.driveStamp[track];
        old.conversion = t.conversion;
        base::logIfFailed(target.record->append({old}, false),
                          "The record lost the entry of an outdated conversion");
      } else if (target.record) {
        base::logIfFailed(target.record->remove({key}, false),
                          "The record keeps the entry of a conversion not named");
      }
      return errors.front();
    }
    std::lock_guard<std::mutex> lock(mutex);
    report.placed.push_back(track);
    report.bytesPlaced += size;
    return std::nullopt;
  };
  auto work = [&] {
    for (size_t i; !stopping.load() && (i = next.fetch_add(1)) < tracks.size();) {
      auto failed = convertOne(tracks[i]);
      written.fetch_add(snapshot.tracks[tracks[i]].estimatedBytes, std::memory_order_relaxed);
      settled.fetch_add(1, std::memory_order_relaxed);
      if (!failed) continue;
      std::lock_guard<std::mutex> lock(mutex);
      report.failures.push_back({tracks[i], std::move(*failed)});
    }
    std::lock_guard<std::mutex> lock(mutex);
    --running;
    ended.notify_all();
  };
  // One worker more than there are cores: a finished conversion's write
  // and flush wait on the disk, and meanwhile the others keep every core
  // encoding.
  size_t threads =
      std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()) + 1, tracks.size());
  std::vector<std::thread> pool;
  running = threads;
  for (size_t i = 0; i < threads; ++i) pool.emplace_back(work);
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (running > 0) {
      ended.wait_for(lock, kProgressPeriod);
      lock.unlock();
      tick();
      lock.lock();
    }
  }
  for (auto& t : pool) t.join();
}

}  // namespace

CopyReport runCopies(const Snapshot& snapshot, const std::vector<uint32_t>& copies,
                     const Observed& observed, const CopyTarget& target,
                     fs::FileManager& fileManager, const std::atomic<bool>* stop,
                     const std::function<void(const CopyEvent&)>& progress) {
  CopyReport report;
  static const std::atomic<bool> kNever{false};
  const std::atomic<bool>& stopping = stop != nullptr ? *stop : kNever;
  std::atomic<uint64_t> written{0};
  // The conversions settle on threads of their own, so they are counted
  // apart from the report, which those threads fill under their lock.
  std::atomic<size_t> convertsSettled{0};
  size_t convertCount = 0, settledBeforeConverts = 0;
  bool converting = false;

  auto lastEvent = std::chrono::steady_clock::now() - kProgressPeriod;
  auto tell = [&](bool now) {
    if (!progress) return;
    auto at = std::chrono::steady_clock::now();
    if (!now && at - lastEvent < kProgressPeriod) return;
    lastEvent = at;
    size_t converted = convertsSettled.load(std::memory_order_relaxed);
    size_t settled = converting ? settledBeforeConverts + converted
                                : report.placed.size() + report.failures.size();
    progress({std::min(written.load(std::memory_order_relaxed), target.totalBytes),
              target.totalBytes, std::min(settled, copies.size()), copies.size(), converted,
              convertCount});
  };
  fs::CopyBatchOptions options{target.root, stop,
                               [&](uint64_t, uint64_t*) {
                                 tell(false);
                                 return 0;
                               },
                               &written};
  auto entryOf = [&](uint32_t track, const fs::CopyBatchOptions::Staged& file) {
    const SnapshotTrack& t = snapshot.tracks[track];
    fs::RecordEntry e;
    e.path = target.recordPrefix + t.destination;
    e.key = app::DestinationLayout::collisionKey(e.path);
    e.kind = fs::EntryKind::kTrack;
    e.trackId = t.id;
    e.libraryId = target.libraryId;
    e.drive = {file.size, file.modificationTimeNs};
    e.source = {observed.sourceBytes[track], observed.sourceTimeNs[track]};
    e.checksum = file.checksum;
    return e;
  };
  auto makeBatch = [&](bool replace) {
    Batch batch{nullptr, {}, std::make_shared<Staged>()};
    fs::CopyBatchOptions batchOptions = options;
    batchOptions.replace = replace;
    if (target.record) {
      batchOptions.checksum = true;
      batchOptions.beforeNaming = [&, staged = batch.staged](
                                      const std::vector<fs::CopyBatchOptions::Staged>& files,
                                      bool flush) {
        std::vector<fs::RecordEntry> entries;
        for (const auto& file : files) {
          if (file.folder) {
            if (auto e =
                    fs::folderEntry(*target.root, file.to, &app::DestinationLayout::collisionKey))
              entries.push_back(std::move(*e));
            continue;
          }
          auto at = staged->find(file.to);
          if (at != staged->end()) entries.push_back(entryOf(at->second, file));
        }
        base::Status s = target.record->append(entries, flush);
        return s.ok() ? 0 : (s.code() != 0 ? s.code() : EIO);
      };
    }
    batch.copies = fileManager.makeCopyBatch(batchOptions);
    return batch;
  };

  // The copies that name nothing yet first, then the repairs, each in
  // batches of their own kind.
  std::vector<uint32_t> fresh, repairs, converts;
  for (uint32_t track : copies) {
    // Converted tracks are made apart, once the copies are done.
    if (!snapshot.tracks[track].conversion.empty()) {
      converts.push_back(track);
      ++convertCount;
      continue;
    }
    bool repair = observed.at.size() > track && observed.at[track] == AtDestination::kRepair;
    if (!repair || !target.root || observed.driveStamp.size() <= track) {
      (repair ? repairs : fresh).push_back(track);
      continue;
    }
    // The exporter's old copy goes first, once it is seen to be as the
    // plan saw it: replaced in place, a kill between the new copy's entry
    // and its name would leave the old copy under an entry describing the
    // new one, which reads as the owner's file from then on. Until the
    // new copy is named the track is simply not on the drive.
    const std::string path = target.musicRoot + "/" + snapshot.tracks[track].destination;
    base::FileError why;
    auto now = fileManager.attributesOfItemAtPath(path, &why);
    if (now && (now->size != observed.driveStamp[track].size ||
                now->modificationTimeNs != observed.driveStamp[track].mtimeNs)) {
      why = {EEXIST, "", path};
      report.failures.push_back({track, why});
    } else if (now &&
               !fileManager.removeItemBelowRoot(*target.root, path, fs::RemoveKind::kFile, &why)) {
      report.failures.push_back({track, why});
    } else {
      fresh.push_back(track);
    }
  }
  // Folder by folder, each folder's files in name order (which for a
  // music app's own folders is track order): each destination folder is
  // opened once, and simple players, which play a folder in the order its
  // files were made, play an album in order.
  auto byFolder = [&](uint32_t a, uint32_t b) {
    std::string_view x = snapshot.tracks[a].destination, y = snapshot.tracks[b].destination;
    size_t i = x.rfind('/'), j = y.rfind('/');
    std::string_view xf = i == std::string_view::npos ? std::string_view() : x.substr(0, i);
    std::string_view yf = j == std::string_view::npos ? std::string_view() : y.substr(0, j);
    if (xf != yf) return xf < yf;
    return x < y;
  };
  std::stable_sort(fresh.begin(), fresh.end(), byFolder);
  std::stable_sort(repairs.begin(), repairs.end(), byFolder);
  // A folder of the destination moved or replaced under the run ends it:
  // whatever was not named yet fails with that reason.
  std::optional<base::FileError> changed;
  for (bool replace : {false, true}) {
    const std::vector<uint32_t>& list = replace ? repairs : fresh;
    if (list.empty()) continue;
    // One batch fills on this thread while the one before it is flushed
    // and named on another. Declared so that unwinding waits for the flush
    // before the batches (and their temporaries) go.
    Batch filling = makeBatch(replace);
    std::optional<Batch> flushed;
    std::vector<base::FileError> flushErrors;
    std::future<std::vector<bool>> flushing;
    auto settle = [&] {
      if (!flushing.valid()) return;
      std::vector<bool> named = flushing.get();
      std::vector<std::string> unnamed;
      for (size_t i = 0; i < flushed->tracks.size(); ++i) {
        uint32_t track = flushed->tracks[i];
        if (i < named.size() && named[i]) {
          report.placed.push_back(track);
          report.bytesPlaced += observed.sourceBytes[track];
        } else {
          report.failures.push_back(
              {track, i < flushErrors.size() ? flushErrors[i] : base::FileError{}});
          if (report.failures.back().error.code == ESTALE) changed = report.failures.back().error;
          if (!replace)
            unnamed.push_back(app::DestinationLayout::collisionKey(
                target.recordPrefix + snapshot.tracks[track].destination));
        }
      }
      // An entry written for a copy that was then not named goes again
      // (a repair's copy is still the one its entry describes).
      if (target.record && !unnamed.empty())
        base::logIfFailed(target.record->remove(unnamed, false),
                          "The record keeps entries of copies not named");
      flushed.reset();
    };
    auto launch = [&] {
      settle();
      flushed.emplace(std::move(filling));
      filling = makeBatch(replace);
      flushErrors.clear();
      fs::CopyBatch* batch = flushed->copies.get();
      flushing = std::async(std::launch::async,
                            [batch, &flushErrors] { return batch->commit(&flushErrors); });
    };

    size_t batchCopies = Limits::kFirstCopies;
    uint64_t batchBytes = Limits::kFirstBytes;
    std::string destination;
    for (uint32_t track : list) {
      if (stopping.load()) break;
      if (changed) {
        base::FileError why = *changed;
        why.path = target.musicRoot + "/" + snapshot.tracks[track].destination;
        report.failures.push_back({track, why});
        continue;
      }
      const SnapshotTrack& t = snapshot.tracks[track];
      destination = target.musicRoot + "/" + t.destination;
      base::FileError error;
      if (!filling.copies->addCopy(t.source, destination, &error)) {
        report.failures.push_back({track, error});
        continue;
      }
      filling.tracks.push_back(track);
      filling.staged->emplace(destination, track);
      tell(false);
      if (filling.copies->pendingCount() >= batchCopies ||
          filling.copies->pendingBytes() >= batchBytes) {
        launch();
        batchCopies = std::min(2 * batchCopies, Limits::kMaxCopies);
        batchBytes = std::min(2 * batchBytes, Limits::kMaxBytes);
      }
    }
    if (filling.copies->pendingCount() > 0) launch();
    settle();
  }
  if (!converts.empty() && !changed && !stopping.load()) {
    std::stable_sort(converts.begin(), converts.end(), byFolder);
    settledBeforeConverts = report.placed.size() + report.failures.size();
    converting = true;
    convertTracks(snapshot, converts, observed, target, fileManager, stopping, written,
                  convertsSettled, report, [&] { tell(false); });
    converting = false;
  }
  tell(true);
  return report;
}

}  // namespace session
