
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <string_view>
#include <unordered_set>

#include "base/Log.h"
#include "fs/DriveRecord.h"
#include "fs/FileManager.h"
#include "session/CopyRun.h"
#include "session/DestinationLayout.h"
#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "session/ExportSessionParts.h"
#include "session/StaleWalk.h"

namespace app {

using namespace detail;
namespace stdfs = std::filesystem;

PlaylistOutcome ExportSession::playlistFiles() {
  PlaylistOutcome outcome;
  outcome.folder = playlistFolder_;
  outcome.besideUsers = besideUsers_;
  outcome.extension = playlistExtension_;
  // Without a look at the drive no file can say what is there.
  if (observed_.onDrive.size() != snapshot_.tracks.size()) {
    if (auto planned = plan(); !planned) {
      for (const auto& s : selected_)
        outcome.notWritten.push_back(
            {s.playlist->name, s.fileName + playlistExtension_, planned.error().message()});
      return outcome;
    }
  }
  auto fm = files();
  std::set<std::string> notEncodable;
  // The old file stays where the new one could not be written: what it
  // lists stays too, while it is the exporter's.
  auto keepListed = [&](const std::string& path, const std::string&) { holdListed(*fm, path); };
  // The files go out in batches, each flushed once before its files are
  // named (a flush per file costs more than writing it).
  constexpr size_t kFilesAtOnce = 256;
  constexpr size_t kBytesAtOnce = 16 << 20;
  std::vector<const Selected*> pending;
  std::vector<fs::FileManager::TextFile> files;
  size_t pendingBytes = 0;
  // Each file goes into the drive's record by identity before it is
  // named: a kill between the two must not leave a file of the exporter's
  // that the record does not know, which would read as the user's.
  auto writer = fs::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  const int64_t timeStep = fs::timeStepOf(root_);
  std::map<std::string, fs::RecordEntry> recorded;  // by path, until named
  auto recordFirst = [&](const std::vector<fs::CopyBatchOptions::Staged>& staged) {
    if (!writer) return writer.status().code() != 0 ? writer.status().code() : EIO;
    std::vector<fs::RecordEntry> named;
    for (const auto& file : staged) {
      auto entry = entryOfStaged(*destination_, file, fs::EntryKind::kPlaylist);
      if (!entry) continue;
      fs::RecordEntry& e = *entry;
      // The file it replaces, while that is the exporter's: should the
      // new one never be named, the old one is still known.
      auto known = driveRecord_.entries.find(e.key);
      std::optional<fs::FileStamp> old;
      if (known != driveRecord_.entries.end() && known->second.kind != fs::EntryKind::kLegacy &&
          (old = plainFileStamp(*fm, file.to))) {
        if (asWritten(known->second, *old, timeStep)) e.source = *old;
      }
      recorded[file.to] = e;
      named.push_back(std::move(e));
    }
    base::Status s = (*writer)->append(named, true);
    if (!s.ok()) recorded.clear();
    return s.ok() ? 0 : (s.code() != 0 ? s.code() : EIO);
  };
  // The clean-up that follows judges the files by what was named now: a
  // file trimmed or rewritten here must not read to it as the owner's
  // change. One that kept its old text keeps its old entry.
  auto learn = [&](const std::vector<fs::FileManager::TextFile>& written,
                   const std::vector<bool>& named) {
    for (size_t i = 0; i < written.size() && i < named.size(); ++i) {
      auto e = named[i] ? recorded.find(written[i].path) : recorded.end();
      if (e != recorded.end()) driveRecord_.entries.insert_or_assign(e->second.key, e->second);
    }
    recorded.clear();
  };
  auto writePending = [&] {
    if (files.empty()) return;
    std::vector<base::FileError> errors;
    std::vector<bool> inPlace =
        fm->writeStringsBelowRoot(*destination_, files, &errors, recordFirst);
    learn(files, inPlace);
    for (size_t i = 0; i < pending.size(); ++i) {
      std::string file = pending[i]->fileName + playlistExtension_;
      std::string relative = playlistRelative(file);
      if (!inPlace[i]) {
        base::logFormat("playlist file not written: %@: %@", relative,
                        errors[i].localizedDescription);
        outcome.notWritten.push_back(
            {pending[i]->playlist->name, file, describeCopyFailure(errors[i], "")});
        keepListed(files[i].path, relative);
        continue;
      }
      outcome.written.push_back(file);
    }
    pending.clear();
    files.clear();
    pendingBytes = 0;
  };
  // The target's files written now, in the order chosen, as the copies
  // left the drive: an entry whose track is not there is one a player
  // stops at or skips with an error.
  TrackLines trackLines;
  for (size_t i = 0; i < target_.files.size() && i < selected_.size(); ++i) {
    const session::TargetFile& file = target_.files[i];
    const Selected& s = selected_[i];
    std::string path = root_ + "/" + file.relative;
    // Judged unchanged by the plan, and neither the drive's tracks nor the
    // file have changed since: its text need not be made again.
    bool asPlanned = !playlistFormat_.windows1252 && i < plannedSame_.size() && plannedSame_[i] &&
                     observed_.onDrive == plannedPresent_ &&
                     plainFileStamp(*fm, path) == plannedStamp_[i];
    std::string text;
    if (asPlanned) {
      countLeftOut(file, observed_.onDrive, &outcome);
    } else {
      text = playlistTextOf(file, observed_.onDrive, &outcome, &notEncodable, &trackLines);
    }
    auto now =
        asPlanned ? std::optional<std::string>() : fm->readSmallFile(path, text.size(), nullptr);
    if (asPlanned || (now && *now == text)) {
      outcome.unchanged.push_back(s.fileName + playlistExtension_);
      // Left as it reads; the record learns its stamp where a kill kept
      // the record from it (the entry went in, the new file never came).
      auto known = driveRecord_.entries.find(DestinationLayout::collisionKey(file.relative));
      std::optional<fs::FileStamp> now;
      if (known != driveRecord_.entries.end() && known->second.kind == fs::EntryKind::kPlaylist &&
          (now = plainFileStamp(*fm, path))) {
        fs::FileStamp stamp = *now;
        if (!(known->second.drive == stamp) && asWritten(known->second, stamp, timeStep) &&
            writer) {
          fs::RecordEntry e = known->second;
          e.drive = stamp;
          e.source = {};
          // The checksum too is the standing file's, not the one of the
          // text that never got its name.
          e.checksum = fm->readBackChecksum(path, nullptr);
          // Not noted, the file stops being the exporter's: a later export
          // writes the playlist beside it rather than over it.
          base::logIfFailed((*writer)->append({e}, true),
                            "The record keeps the playlist file's old stamp");
        }
      }
      continue;
    }
    pending.push_back(&s);
    pendingBytes += text.size();
    files.push_back({std::move(path), std::move(text)});
    if (files.size() >= kFilesAtOnce || pendingBytes >= kBytesAtOnce) writePending();
  }
  writePending();
  // The exporter's other playlist files stay as they stand, but for an
  // entry whose file is gone from the drive and cannot come back here (its
  // track left the library after a repair was cut short, a copy removed by
  // hand): such an entry is taken out, as a player would only stop at it.
  std::vector<fs::FileManager::TextFile> trimmed;
  for (const auto& file : target_.files) {
    if (file.playlist != session::TargetFile::kKeptAsItIs) continue;
    bool windows1252 = file.relative.size() >= 4 &&
                       file.relative.compare(file.relative.size() - 4, 4, ".m3u") == 0;
    auto plays = [&](const std::string& entry) {
      return plainFileStamp(*fm, root_ + "/" + entry).has_value();
    };
    std::string text = session::withoutEntries(
        file.keptText, windows1252, session::folderOf(file.relative), root_, musicFolder(), plays);
    if (text != file.keptText) trimmed.push_back({root_ + "/" + file.relative, std::move(text)});
  }
  if (!trimmed.empty()) {
    std::vector<base::FileError> errors;
    std::vector<bool> inPlace =
        fm->writeStringsBelowRoot(*destination_, trimmed, &errors, recordFirst);
    learn(trimmed, inPlace);
    for (size_t i = 0; i < trimmed.size(); ++i) {
      std::string name = stdfs::path(trimmed[i].path).filename().string();
      if (inPlace[i]) {
        outcome.trimmed.push_back(name);
      } else {
        outcome.notWritten.push_back({name, name, describeCopyFailure(errors[i], "")});
      }
    }
  }
  outcome.notEncodable.assign(notEncodable.begin(), notEncodable.end());
  forgetGone();
  return outcome;
}

void ExportSession::countLeftOut(const session::TargetFile& file,
                                 const std::vector<uint8_t>& present,
                                 PlaylistOutcome* counts) const {
  if (file.playlist < snapshot_.playlists.size()) {
    for (uint32_t track : snapshot_.playlists[file.playlist].items)
      counts->entriesUnchecked += !session::listable(snapshot_.tracks[track], !o_.allTracks);
  }
  for (uint32_t track : file.entries) counts->entriesMissing += !present[track];
}

std::string ExportSession::playlistTextOf(const session::TargetFile& file,
                                          const std::vector<uint8_t>& present,
                                          PlaylistOutcome* counts,
                                          std::set<std::string>* notEncodable,
                                          TrackLines* cache) const {
  if (counts) countLeftOut(file, present, counts);
  TrackLines own;
  std::vector<std::string_view> lines;
  linesOf(file, present, cache ? *cache : own, lines, notEncodable);
  size_t size = session::PlaylistTextMaker::kHeader.size();
  for (std::string_view line : lines) size += line.size();
  std::string text;
  text.reserve(size);
  text += session::PlaylistTextMaker::kHeader;
  for (std::string_view line : lines) text += line;
  return text;
}

void ExportSession::linesOf(const session::TargetFile& file, const std::vector<uint8_t>& present,
                            TrackLines& cache, std::vector<std::string_view>& lines,
                            std::set<std::string>* notEncodable) const {
  lines.clear();
  if (cache.state.size() != snapshot_.tracks.size()) {
    cache.text.assign(snapshot_.tracks.size(), {});
    cache.state.assign(snapshot_.tracks.size(), TrackLines::kNotMade);
  }
  session::PlaylistTextMaker maker(playlistFormat_, root_, playlistFolder_);
  std::string path;
  for (uint32_t track : file.entries) {
    if (!present[track]) continue;
    uint8_t& state = cache.state[track];
    if (state == TrackLines::kNotMade) {
      const LibraryTrack& t = *snapshotLibraryTrack_[track];
      (path = musicPrefix_) += snapshot_.tracks[track].destination;
      const std::string duration = DestinationLayout::durationText(t.totalTimeMs);
      state = maker.append(cache.text[track],
                           {path, duration, std::string_view(t.artist), std::string_view(t.name)})
                  ? TrackLines::kMade
                  : TrackLines::kCannot;
    }
    if (state == TrackLines::kMade) {
      lines.push_back(cache.text[track]);
    } else if (notEncodable && playlistFormat_.windows1252) {
      const LibraryTrack& t = *snapshotLibraryTrack_[track];
      notEncodable->insert(std::string(t.artist) + " - " + std::string(t.name));
    }
  }
}

// The target: the chosen playlists' files, written now, and (when some
// playlists are exported) every other playlist file of the exporter's,
// kept as it stands with the entries it has.
std::vector<std::pair<std::string, std::string>> ExportSession::keptPlaylistFiles(
    fs::FileManager& fm, const std::unordered_set<std::string>& writtenKeys) {
  std::vector<std::pair<std::string, std::string>> kept;
  keptUnreadable_.clear();
  const int64_t timeStep = fs::timeStepOf(root_);
  // Those an earlier export wrote into a folder the profile no longer
  // names are not kept: the player does not look there (they are stale).
  auto consider = [&](const std::string& relative) {
    std::string key = DestinationLayout::collisionKey(relative);
    if (writtenKeys.count(key)) return;
    // The exporter's while as it wrote it; a file of the user's lists
    // what the user wants, which the exporter neither keeps nor removes.
    auto known = driveRecord_.entries.find(key);
    std::string path = root_ + "/" + relative;
    bool ours = false;
    if (known != driveRecord_.entries.end() && known->second.kind != fs::EntryKind::kLegacy) {
      auto now = fm.attributesOfItemAtPath(path, nullptr);
      ours = now && now->type == fs::FileType::kRegular &&
             asWritten(known->second, {now->size, now->modificationTimeNs}, timeStep);
    } else {
      ours = known != driveRecord_.entries.end();  // an older list's path, not removed since
    }
    if (!ours) return;
    base::FileError error;
    auto text = fm.readSmallFile(path, kMaxPlaylistBytes, &error);
    if (!text) {
      if (error.code == ENOENT) return;
      if (keptUnreadable_.empty())
        keptUnreadable_ = "the playlist file " + path + " cannot be read (" +
                          error.localizedDescription + "), so what it lists is not known";
      return;
    }
    kept.emplace_back(relative, std::move(*text));
  };
  auto entries = fm.contentsOfDirectoryAtPath(playlistFolder_, nullptr);
  for (const auto& e : entries ? *entries : std::vector<fs::DirectoryEntry>()) {
    if (e.type == fs::FileType::kRegular && isPlaylistName(e.name))
      consider(playlistRelative(e.name));
  }
  return kept;
}

bool ExportSession::isPlaylistName(std::string_view n) {
  return (n.size() > 5 && n.substr(n.size() - 5) == ".m3u8") ||
         (n.size() > 4 && n.substr(n.size() - 4) == ".m3u");
}

std::vector<std::string> ExportSession::otherFolderPlaylists() const {
  std::vector<std::string> out;
  const std::string here = DestinationLayout::collisionKey(playlistFolderBelowRoot_);
  for (const auto& [key, e] : driveRecord_.entries) {
    if (e.kind != fs::EntryKind::kPlaylist || !isPlaylistName(e.path) || leavesRoot(e.path))
      continue;
    if (DestinationLayout::collisionKey(session::folderOf(e.path)) != here) out.push_back(e.path);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace app
