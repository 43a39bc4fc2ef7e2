#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string_view>
#include <unordered_set>

#include "base/Log.h"
#include "fs/DriveRecord.h"
#include "fs/FileManager.h"
#include "session/CopyRun.h"
#include "session/DestinationLayout.h"
#include "session/DriveCheck.h"
#include "session/DriveRenames.h"
#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "session/ExportSessionParts.h"
#include "session/StaleWalk.h"

namespace app {

using namespace detail;
namespace stdfs = std::filesystem;

// Each copy this run named is read back from the drive (its batch was
// flushed before it was named, so dropping its cached pages makes the read
// come from the device) and compared with the checksum the copier took of
// what it wrote. A copy the drive returns otherwise is removed, forgotten
// by the record and reported; its track is not on the drive.
ExportSession::VerifyCounts ExportSession::verifyCopies(session::CopyReport& run,
                                                        fs::FileManager& fm,
                                                        fs::DriveRecord& writer) {
  VerifyCounts counts;
  auto loaded = fs::DriveRecord::load(*destination_, &DestinationLayout::collisionKey);
  const std::string& musicPrefix = musicPrefix_;
  std::vector<uint32_t> kept;
  std::vector<std::string> removed;
  for (uint32_t track : run.placed) {
    std::string relative = musicPrefix + snapshot_.tracks[track].destination;
    std::string key = DestinationLayout::collisionKey(relative);
    const fs::RecordEntry* e = nullptr;
    if (loaded) {
      auto at = loaded->entries.find(key);
      if (at != loaded->entries.end() && at->second.checksum) e = &at->second;
    }
    if (!e) {
      ++counts.unverified;
      kept.push_back(track);
      continue;
    }
    std::string path = root_ + "/" + relative;
    base::FileError error;
    auto sum = fm.readBackChecksum(path, &error);
    if (sum && *sum == *e->checksum) {
      ++counts.verified;
      kept.push_back(track);
      continue;
    }
    if (sum) error = {kDriveReturnedOtherData, "", path};
    fm.removeItemBelowRoot(*destination_, path, fs::RemoveKind::kFile, nullptr);
    removed.push_back(key);
    run.bytesPlaced -= std::min(run.bytesPlaced, e->drive.size);
    run.failures.push_back({track, error});
  }
  // An entry left behind names a file that is gone: the next export
  // forgets it.
  if (!removed.empty())
    base::logIfFailed(writer.remove(removed, true),
                      "The record keeps copies that failed to verify");
  run.placed = std::move(kept);
  return counts;
}

std::string ExportSession::failureReason(const LibraryTrack& t, bool stopped) const {
  std::string source(t.localPath());
  if (!t.onThisComputer())
    return "the file is not on this computer (" + std::string(t.location) + ")";
  if (stopped) return "the export was interrupted";
  auto fm = files();
  base::FileError why;
  if (!fm->attributesOfLinkTargetAtPath(source, &why)) {
    if (why.code == ENAMETOOLONG) return sourcePathTooLong(source);
    if (why.code == ENOENT || why.code == ENOTDIR)
      return "the source file is missing (" + source + ")";
    return "the source file cannot be looked at (" + source + "): " + why.localizedDescription;
  }
  if (!fm->isReadableFileAtPath(source)) return "the source file cannot be read (" + source + ")";
  return "it is not on the drive after the copy";
}

base::Result<CopyOutcome> ExportSession::copy(
    const std::function<void(const CopyProgress&)>& onProgress, const std::atomic<bool>* stop) {
  CopyOutcome outcome;
  // The copy works from what the plan saw; a copy without a plan looks now.
  if (!planned_) {
    if (auto planned = plan(); !planned) return planned.error();
  }
  // Tracks under an earlier spelling take their new names first: the
  // plan saw them where they were, and a rename keeps size and time.
  renameTracks();
  session::Choice choice = chosen();
  session::Plan sized = session::makePlan(snapshot_, observed_, choice);
  auto start = std::chrono::steady_clock::now();
  if (onProgress) onProgress({0, sized.bytesToCopy, false});
  // The dock tile (`--dock-tile FILE`) shows the run where one is drawn;
  // a window draws its own from the progress events, off this thread.
  std::shared_ptr<ProgressSink> tile;
  if (services_.progressSink) tile = services_.progressSink();
  if (tile) tile->started(sized.bytesToCopy);
  // Every copy is recorded before it is named; tracks an older record
  // names, with their source's size and time, are taken over first.
  auto writer = fs::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  if (!writer) {
    return fail(writer.status().code() == EWOULDBLOCK ? base::Status::Kind::kBusy
                                                      : base::Status::Kind::kFailed,
                "The export cannot record its files on the drive: " + writer.status().message());
  }
  // Unchanged since it was read: its counts are known without reading it
  // again when the run ends.
  if (!recordStamp_.empty() && fs::DriveRecord::stateStamp(*destination_) == recordStamp_)
    (*writer)->tallyFrom(driveRecord_);
  noteProbes(**writer);
  const std::string& musicPrefix = musicPrefix_;
  // A drive written before folders were recorded: the folders its
  // recorded files lie in are the exporter's, recorded now, before this
  // run's own folders make the record's folders the only ones it knows.
  if (std::none_of(driveRecord_.entries.begin(), driveRecord_.entries.end(),
                   [](const auto& e) { return e.second.kind == fs::EntryKind::kFolder; })) {
    std::set<std::string> holding;
    auto lookups = files();
    for (const auto& [key, e] : driveRecord_.entries) {
      for (size_t slash = e.path.rfind('/'); slash != std::string::npos && slash > 0;
           slash = e.path.rfind('/', slash - 1)) {
        if (!holding.insert(e.path.substr(0, slash)).second) break;
      }
    }
    std::vector<fs::RecordEntry> folders;
    for (const auto& relative : holding) {
      auto at = lookups->attributesOfItemAtPath(root_ + "/" + relative, nullptr);
      if (!at || at->type != fs::FileType::kDirectory) continue;
      if (auto e = fs::folderEntry(*destination_, root_ + "/" + relative,
                                   &DestinationLayout::collisionKey))
        folders.push_back(std::move(*e));
    }
    base::Status s = folders.empty() ? base::Status() : (*writer)->append(folders, true);
    if (!s.ok()) {
      return fail(base::Status::Kind::kFailed,
                  "The export cannot record its files on the drive: " + s.message());
    }
  }
  if (!observed_.adopted.empty()) {
    std::vector<fs::RecordEntry> adopted;
    for (uint32_t track : observed_.adopted) {
      const session::SnapshotTrack& t = snapshot_.tracks[track];
      fs::RecordEntry e;
      e.path = musicPrefix + t.destination;
      e.key = DestinationLayout::collisionKey(e.path);
      e.trackId = t.id;
      e.libraryId = library_.libraryPersistentId;
      e.source = {observed_.sourceBytes[track], observed_.sourceTimeNs[track]};
      e.drive = observed_.driveStamp[track];
      adopted.push_back(std::move(e));
    }
    if (base::Status s = (*writer)->append(adopted, true); !s.ok()) {
      return fail(base::Status::Kind::kFailed,
                  "The export cannot record its files on the drive: " + s.message());
    }
    observed_.adopted.clear();
  }
  // The exporter's copies changed since are the user's from now on: the
  // record stops naming them before their tracks are copied beside them.
  std::vector<std::string> released, releasedPaths;
  for (const auto& beside : plan_.copiedBeside) {
    auto relative = beside.changedCopy ? destination_->relativePath(beside.kept) : std::nullopt;
    if (!relative) continue;
    released.push_back(DestinationLayout::collisionKey(*relative));
    releasedPaths.push_back(*relative);
  }
  if (!released.empty()) {
    // The older list of paths too: it would name the file the exporter's.
    if (int e = destination_->forget(releasedPaths); e != 0) {
      return fail(base::Status::Kind::kFailed, "The export cannot record its files on the drive: " +
                                                   std::string(std::strerror(e)) + ".");
    }
    if (base::Status s = (*writer)->remove(released, true); !s.ok()) {
      return fail(base::Status::Kind::kFailed,
                  "The export cannot record its files on the drive: " + s.message());
    }
    for (const auto& key : released) driveRecord_.entries.erase(key);
  }
  session::CopyTarget target{destination_, musicRoot_, sized.bytesToCopy};
  target.record = writer->get();
  target.recordPrefix = musicPrefix;
  target.libraryId = library_.libraryPersistentId;
  target.convert = {o_.convertTo, o_.quality};
  auto fm = files();
  session::CopyReport run = session::runCopies(snapshot_, sized.copies, observed_, target, *fm,
                                               stop, [&](const session::CopyEvent& e) {
                                                 if (tile) tile->advanced(e.done);
                                                 if (onProgress)
                                                   onProgress({e.done, e.total, true, e.tracksDone,
                                                               e.tracks, e.convertsDone,
                                                               e.converts});
                                               });
  if (tile) tile->ended();
  if (o_.verify && !run.placed.empty()) {
    VerifyCounts counts = verifyCopies(run, *fm, **writer);
    outcome.verified = counts.verified;
    outcome.unverified = counts.unverified;
  }
  outcome.bytesCopied = run.bytesPlaced;
  // The record only grows as files are written and removed: rewritten
  // whole once its dead lines outweigh the live ones.
  base::logIfFailed((*writer)->compactIfMostlyDead(), "The record was not compacted");
  bool stopped = stop != nullptr && stop->load();
  // What is on the drive now: what the plan saw there and what this run
  // named.
  for (uint32_t track : run.placed) observed_.onDrive[track] = 1;
  // Damaged copies put right leave the note of the check that found them.
  if (!damaged_.empty()) {
    size_t before = damaged_.size();
    for (uint32_t track : run.placed)
      damaged_.erase(
          DestinationLayout::collisionKey(musicPrefix + snapshot_.tracks[track].destination));
    // A note not rewritten still names repaired copies: the next
    // export compares them again and finds them whole.
    if (damaged_.size() != before)
      base::logIfFailed(writeDamageNote(root_, damaged_),
                        "The note of damaged copies is not updated");
  }
  std::unordered_set<uint32_t> placed(run.placed.begin(), run.placed.end());
  std::unordered_map<uint32_t, const base::FileError*> reasons;
  for (const auto& f : run.failures) reasons[f.track] = &f.error;
  std::unordered_map<uint32_t, session::Refused::Why> refused;
  for (const auto& r : sized.refused) refused[r.track] = r.why;

  // Every track that should be on the drive and is not could not be copied.
  std::vector<uint8_t> seen(snapshot_.tracks.size());
  std::vector<uint32_t> wanted;  // the chosen playlists' tracks, then the kept files'
  for (uint32_t p : choice.playlists)
    wanted.insert(wanted.end(), snapshot_.playlists[p].items.begin(),
                  snapshot_.playlists[p].items.end());
  wanted.insert(wanted.end(), choice.alsoCopy.begin(), choice.alsoCopy.end());
  const size_t fromPlaylists = wanted.size() - choice.alsoCopy.size();
  for (size_t w = 0; w < wanted.size(); ++w) {
    {
      uint32_t track = wanted[w];
      if (seen[track]) continue;
      seen[track] = 1;
      const session::SnapshotTrack& st = snapshot_.tracks[track];
      std::string destination = musicRoot_ + "/" + st.destination;
      if (observed_.onDrive[track]) {
        ++outcome.tracksOnDrive;
        if (placed.count(track)) {
          outcome.copied.push_back(std::move(destination));
          outcome.converted += !st.conversion.empty();
        }
        continue;
      }
      if (!st.enabled && choice.copyOnlyChecked && w < fromPlaylists) {
        outcome.uncheckedNotCopied.push_back(std::move(destination));
        continue;
      }
      const LibraryTrack& t = *snapshotLibraryTrack_[track];
      TrackFailure failure{std::string(t.name),
                           std::string(t.artist),
                           std::string(t.localPath()),
                           std::string(t.location),
                           destination,
                           "",
                           "",
                           0};
      auto reason = reasons.find(track);
      if (auto why = refused.find(track); why != refused.end()) {
        failure.reason = refusalReason(why->second);
      } else if (reason != reasons.end() && reason->second->code != 0 && t.onThisComputer()) {
        failure.reason = describeCopyFailure(*reason->second, failure.source);
        failure.path = reason->second->path;
        failure.code = reason->second->code;
      } else {
        failure.reason = failureReason(t, stopped);
      }
      outcome.notCopied.push_back(std::move(failure));
    }
  }
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return outcome;
}

void ExportSession::renameTracks() {
  if (pendingRenames_.empty()) return;
  std::vector<session::DriveRename> renames;
  for (const auto& p : pendingRenames_) {
    if (p.across)
      renames.push_back({p.from, musicPrefix_ + snapshot_.tracks[p.track].destination, true});
    else
      renames.push_back({p.from, p.to});
  }
  auto writer = fs::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  std::string notDone = writer ? "" : writer.status().message();
  if (auto read = writer ? loadRecord() : base::Result<base::Done>(); !read)
    notDone = read.error().message();
  if (notDone.empty()) {
    session::renameRecorded(*files(), *destination_, **writer, driveRecord_, fs::timeStepOf(root_),
                            renames);
    // A cover that cannot follow stays in the old folder, which then
    // stays too: nothing is lost, and the new folder gets its own cover.
    auto covers = session::coversFollowing(driveRecord_, renames, player_.coverName.value);
    session::renameRecorded(*files(), *destination_, **writer, driveRecord_, fs::timeStepOf(root_),
                            covers);
    for (const auto& c : covers)
      if (!c.done) renamed_.notMoved.push_back(c.from + ": " + c.reason);
    base::logIfFailed((*writer)->compactIfMostlyDead(), "The record was not compacted");
  }
  std::vector<uint32_t> notMovedAt;
  for (size_t i = 0; i < renames.size(); ++i) {
    const PendingRename& p = pendingRenames_[i];
    if (!renames[i].done) {
      (p.across ? renamed_.notMoved : renamed_.failed)
          .push_back(renames[i].from + ": " + (notDone.empty() ? renames[i].reason : notDone));
      if (p.across) notMovedAt.push_back(p.track);
      continue;
    }
    if (p.across) {
      renamed_.moved.emplace_back(renames[i].from, renames[i].to);
      continue;
    }
    renamed_.done.emplace_back(renames[i].from, renames[i].to);
    std::string to = p.to.substr(musicPrefix_.size());
    if (p.track < plainDestination_.size()) plainDestination_[p.track] = to;
    snapshot_.tracks[p.track].destination = std::move(to);
  }
  pendingRenames_.clear();
  // A copy that did not move is made anew at the track's place, judged
  // there as the plan judges a place.
  if (!notMovedAt.empty()) lookAgain(*files(), notMovedAt);
}

}  // namespace app
