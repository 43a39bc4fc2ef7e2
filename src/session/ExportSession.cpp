#include "session/ExportSession.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <set>
#include <string_view>

#include "base/Log.h"
#include "fs/DriveRecord.h"
#include "fs/FileManager.h"
#include "fs/FolderListings.h"
#include "fs/InsideFolder.h"
#include "fs/ReplaceFile.h"
#include "session/CopyRun.h"
#include "session/DestinationLayout.h"
#include "session/DriveCheck.h"
#include "session/ExportOptions.h"
#include "session/ExportSessionParts.h"
#include "session/MediaConvert.h"
#include "session/RememberedChoices.h"
#include "session/StaleWalk.h"

namespace app {

namespace stdfs = std::filesystem;

using namespace detail;

// The chosen playlists' tracks already there, each once: the part of the
// drive this export keeps.
uint64_t ExportSession::bytesOnDrive() const {
  if (observed_.onDrive.size() != snapshot_.tracks.size()) return 0;
  uint64_t sum = 0;
  std::vector<uint8_t> counted(snapshot_.tracks.size(), 0);
  for (const auto& s : selected_) {
    for (uint32_t t : snapshot_.playlists[snapshotPlaylist_.at(s.playlist->persistentId)].items) {
      if (counted[t] || !observed_.onDrive[t]) continue;
      counted[t] = 1;
      sum += observed_.sourceBytes[t];
    }
  }
  return sum;
}

std::string ExportSession::rememberKey() const {
  return volumeUuid_.empty() ? session::RememberedChoices::keyForFolder(root_)
                             : session::RememberedChoices::keyForVolume(volumeUuid_);
}

// The playlists ticked for this destination in the window (or by an
// earlier --remembered); with none remembered nothing is guessed: an
// export of everything would clean the others' files off the drive.
base::Result<base::Done> ExportSession::chooseRemembered() {
  session::RememberedChoices choices(
      session::RememberedChoices::defaultFile(*services_.configuration), files());
  auto ids = choices.playlists(rememberKey());
  if (!ids) {
    return fail(base::Status::Kind::kUsage,
                "No playlists are remembered for " + root_ +
                    ": tick them in the window (tessaline gui) first, or leave out "
                    "--remembered to export every playlist.");
  }
  std::set<std::string> loaded;
  for (const auto& s : selected_) loaded.insert(s.playlist->persistentId);
  std::vector<std::string> known;
  for (const auto& id : *ids)
    if (loaded.count(id)) known.push_back(id);
  if (known.empty()) {
    return fail(base::Status::Kind::kUsage,
                "None of the " + std::to_string(ids->size()) + " playlists remembered for " +
                    root_ + " is in the library " + libraryFile_ + "; nothing was changed.");
  }
  choose(known);
  // The window's conversion goes with its playlists: without it, an
  // unattended export would copy the very tracks the window had converted
  // and turn their converted copies stale.
  if (!o_.convertToGiven) setConversion(choices.conversion(rememberKey()));
  return {};
}

void ExportSession::choose(const std::vector<std::string>& playlistIds) {
  if (loaded_.empty()) loaded_ = selected_;
  std::set<std::string> chosen(playlistIds.begin(), playlistIds.end());
  selected_.clear();
  for (const auto& s : loaded_) {
    bool on = chosen.count(s.playlist->persistentId) != 0;
    if (!on) continue;
    selected_.push_back(s);
  }
  // The plan sized the playlists chosen before; the copy sizes its own.
  planned_ = false;
}

std::vector<std::pair<std::string, std::string>> ExportSession::loadedPlaylists() const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& s : loaded_.empty() ? selected_ : loaded_)
    out.emplace_back(s.playlist->name, s.playlist->persistentId);
  return out;
}

// Why no clean-up may run here, or nothing: a library whose own files lie
// inside the destination would have them judged stale.
std::string ExportSession::cleanUpRefusal() const {
  // By the file system's word, not the paths' text: a link to the drive,
  // a bind mount of it, "//" or "/./" in a location all lead inside.
  fs::InsideFolder destination(root_);
  if (destination.contains(stdfs::absolute(libraryFile_).string())) {
    return "the library file " + libraryFile_ + " lies inside the destination " + root_;
  }
  size_t inside = 0;
  std::string example;
  // A source the plan has just seen to be a plain file is not looked at
  // again, only its folders.
  auto plainFile = [&](size_t place, std::string_view source) {
    uint32_t at = place < snapshotAt_.size() ? snapshotAt_[place] : kNotInSnapshot;
    return at != kNotInSnapshot && at < observed_.sourcePlainFile.size() &&
           observed_.sourcePlainFile[at] && snapshot_.tracks[at].source == source;
  };
  for (size_t i = 0; i < library_.tracks.size(); ++i) {
    std::string_view source = library_.tracks[i].localPath();
    if (!source.empty() && destination.contains(source, plainFile(i, source))) {
      if (inside++ == 0) example = source;
    }
  }
  if (inside == 0) return "";
  return std::to_string(inside) + " of the library's tracks lie inside the destination " + root_ +
         " (such as " + example + ")";
}

// Before anything is written: one export at a time per destination, and
// what an earlier export left half done goes.
base::Result<size_t> ExportSession::prepare() {
  std::string holder;
  int e = destination_->lock(&holder);
  if (e == EWOULDBLOCK) {
    return fail(base::Status::Kind::kBusy,
                "Another export to " + root_ + " is under way" +
                    (holder.empty() ? "" : " (process " + holder + ")") +
                    "; wait for it to finish, then try again. Nothing was changed.");
  }
  if (e != 0) {
    return fail(base::Status::Kind::kFailed,
                "The destination " + root_ + " cannot be written: " + std::strerror(e) + ".");
  }
  // Unfinished copies of earlier runs (a kill, a power cut, a pulled
  // drive) are the exporter's own: every export removes them.
  auto fm = files();
  size_t removed = 0;
  bool settled = true, asideMet = false;
  std::function<void(const std::string&, bool)> sweep = [&](const std::string& folder, bool deep) {
    auto entries = fm->contentsOfDirectoryAtPath(folder, nullptr);
    if (!entries) return;
    for (const auto& entry : *entries) {
      std::string path = folder + "/" + entry.name;
      if (entry.type == fs::FileType::kDirectory) {
        if (deep) sweep(path, true);
      } else if (entry.type != fs::FileType::kRegular || !temporaryIsOurs(path)) {
        // A name alone makes nothing the exporter's.
      } else if (fs::FileManager::isPartialCopyName(entry.name)) {
        if (fm->removeItemBelowRoot(*destination_, path, fs::RemoveKind::kFile, nullptr))
          ++removed;
        else
          settled = false;
      } else if (fs::isAsideName(entry.name)) {
        // A replacement cut short: the old file goes back, or the aside
        // copy of it goes once the new one stands.
        asideMet = true;
        bool restored = false;
        base::FileError why;
        if (!fm->settleAsideBelowRoot(*destination_, path, &restored, &why)) {
          settled = false;
          base::logLine("Export: cannot settle " + path + ": " + why.localizedDescription);
        } else if (restored) {
          keptAtLoad_.clear();  // what the load read may be the old text
          base::logLine("Export: put back " + path +
                        " under its name: its replacement was cut short");
        }
      }
    }
  };
  loadIntents();
  sweep(musicRoot_, true);
  // And the music folders an earlier profile named, where a copy cut
  // short may lie, and the script bridge's.
  std::set<std::string> earlierMusic{bridgeRoot()};
  for (const auto& [key, e] : driveRecord_.entries) {
    if (e.kind != fs::EntryKind::kTrack ||
        e.path.compare(0, musicPrefix_.size(), musicPrefix_) == 0 || leavesRoot(e.path))
      continue;
    size_t slash = e.path.find('/');
    if (slash != std::string::npos) earlierMusic.insert(root_ + "/" + e.path.substr(0, slash));
  }
  earlierMusic.erase(musicRoot_);
  for (const auto& folder : earlierMusic) {
    auto at = fm->attributesOfItemAtPath(folder, nullptr);
    if (at && at->type == fs::FileType::kDirectory) sweep(folder, true);
  }
  // The playlist files lie in their folder itself, which may be the
  // drive's root or inside the music folder.
  sweep(playlistFolder_, false);
  // And those an earlier profile's folder holds, where a run cut short
  // left its temporaries.
  std::set<std::string> earlier;
  for (const auto& relative : otherFolderPlaylists())
    earlier.insert(std::string(session::folderOf(relative)));
  for (const auto& folder : earlier) sweep(folder.empty() ? root_ : root_ + "/" + folder, false);
  // What the load saw of the drive no longer holds once anything here
  // was removed or put back.
  if (removed != 0 || asideMet || !settled) driveAtLoad_.reset();
  // Everything the intents named is settled: they go, and this run notes
  // its own before its first temporary.
  if (settled) {
    destination_->clearIntents();
    fs::DestinationRoot::open(bridgeRoot())->clearIntents();
    intents_.clear();
  }
  return removed;
}

base::Result<const ExportPlan*> ExportSession::plan() {
  // One listing of each destination folder for the whole plan: the
  // presence checks keep the folders they list and the stale walk reads
  // them from there. The plan writes nothing, and its listings go with it.
  auto fm = files();
  // The record read while loading answers for the first plan while the
  // drive holds it unchanged.
  if (auto read = loadRecord(RecordRead::kForPlan); !read) return read.error();
  fm->shareListings(driveAtLoad_ ? driveAtLoad_->listings : std::make_shared<fs::FolderListings>());
  limits_ = fs::driveLimitsOf(root_);
  session::DriveView view = driveView();
  view.walkFollows = plan_.cleanUp;
  // The sources looked at while loading answer for the first plan only.
  observed_ = session::observe(snapshot_, musicRoot_, *fm, view,
                               sourcesAtLoad_.empty() ? nullptr : &sourcesAtLoad_,
                               driveAtLoad_ ? &driveAtLoad_->seen : nullptr);
  sourcesAtLoad_ = {};
  driveAtLoad_.reset();
  // Converted tracks are looked for under their converted names.
  if (chooseConversions()) observed_ = session::observe(snapshot_, musicRoot_, *fm, view);
  observeMoves(*fm, observed_, true);
  copyBeside(*fm);
  makeTarget(*fm);
  session::Choice choice = chosen();
  session::Plan sized = session::makePlan(snapshot_, observed_, choice);
  plan_.bytesToCopy = sized.bytesToCopy;
  planned_ = true;
  plan_.fileSystem = limits_.fileSystem;
  plan_.freeSpaceKnown = limits_.freeBytes.has_value();
  plan_.freeSpace = limits_.freeBytes.value_or(0);
  plan_.spaceNeeded = sized.spaceNeeded;
  plan_.cannotHold.clear();
  for (const session::Refused& r : sized.refused) {
    const LibraryTrack& t = *snapshotLibraryTrack_[r.track];
    plan_.cannotHold.push_back({std::string(t.name), std::string(t.artist),
                                musicRoot_ + "/" + snapshot_.tracks[r.track].destination,
                                refusalReason(r.why), observed_.sourceBytes[r.track]});
  }
  plan_.capacity = limits_.capacityBytes;
  plan_.bytesOnDrive = bytesOnDrive();
  // The playlist files as they will read once the copies are done: those
  // that would read as they do now are not written again. Made and
  // compared on a thread of their own: the stale walk beside it reads
  // the drive's folders, this the playlists' text.
  std::vector<uint8_t> present = observed_.onDrive;
  for (uint32_t copy : sized.copies)
    present[copy] = snapshotLibraryTrack_[copy]->onThisComputer() && observed_.sourceFound[copy];
  auto texts = std::async(std::launch::async, [this, present = std::move(present)]() mutable {
    comparePlaylistTexts(std::move(present));
  });
  if (plan_.cleanUp) {
    // The two look at different things (the library's folders, the
    // drive's): the refusal is asked on a thread of its own, and what the
    // walk found is dropped if it says no.
    auto refusal = std::async(std::launch::async, [this] { return cleanUpRefusal(); });
    findStale(fm);
    plan_.cleanUpRefusal = refusal.get();
    if (plan_.cleanUpRefusal.empty()) plan_.cleanUpRefusal = keptUnreadable_;
    if (!plan_.cleanUpRefusal.empty()) {
      plan_.cleanUp = false;
      plan_.stale.clear();
      plan_.staleBytes = 0;
    }
  }
  plan_.playlists.clear();
  std::unordered_map<uint32_t, const Selected*> selectedAt;
  for (const auto& s : selected_)
    selectedAt.emplace(snapshotPlaylist_.at(s.playlist->persistentId), &s);
  for (const auto& figures : sized.playlists) {
    const Selected& s = *selectedAt.at(figures.playlist);
    plan_.playlists.push_back({s.playlist->name, s.playlist->persistentId,
                               s.fileName + playlistExtension_, figures.entries, figures.toCopy,
                               figures.thisExport, snapshot_.playlists[figures.playlist].seconds});
  }
  findUnplayable(sized);
  plan_.tracksToConvert = 0;
  plan_.convertedBytes = 0;
  plan_.conversion =
      o_.convertTo.empty() ? std::string() : session::describe({o_.convertTo, o_.quality});
  for (uint32_t copy : sized.copies) {
    if (snapshot_.tracks[copy].conversion.empty()) continue;
    ++plan_.tracksToConvert;
    plan_.convertedBytes += snapshot_.tracks[copy].estimatedBytes;
  }
  plan_.toRename.clear();
  plan_.toMove.clear();
  for (const auto& p : pendingRenames_) {
    if (p.across)
      plan_.toMove.push_back(p.from);
    else
      plan_.toRename.push_back(p.from.substr(musicPrefix_.size()));
  }
  plan_.missingSources.clear();
  for (uint32_t copy : sized.copies) {
    const LibraryTrack& t = *snapshotLibraryTrack_[copy];
    if (!t.onThisComputer() || !observed_.sourceFound[copy])
      plan_.missingSources.emplace_back(t.location);
  }
  plan_.tracksToCopy = sized.copies.size() - plan_.missingSources.size();
  texts.get();
  plan_.skippedBuiltIn.clear();
  if (mode_ == Mode::kAllPlaylists) {
    for (const auto& p : library_.playlists) {
      if (p.builtIn()) plan_.skippedBuiltIn.push_back(p.name);
    }
  }
  plan_.leftOut = {library_.tracksWithoutFile, library_.tracksNotOnThisComputer,
                   library_.itemsNamingMissingTrack, library_.tracksWithoutIdentifier,
                   library_.playlistsWithoutIdentifier};
  return &plan_;
}

void ExportSession::comparePlaylistTexts(std::vector<uint8_t> present) {
  auto fm = files();
  TrackLines trackLines;
  std::vector<std::string_view> lines;
  plan_.playlistFilesToWrite = plan_.playlistFilesUnchanged = 0;
  plannedSame_.assign(target_.files.size(), 0);
  plannedStamp_.assign(target_.files.size(), {});
  for (size_t i = 0; i < target_.files.size(); ++i) {
    const session::TargetFile& file = target_.files[i];
    if (file.playlist == session::TargetFile::kKeptAsItIs) continue;
    // A file not there yet is written without its text being made twice.
    std::string path = root_ + "/" + file.relative;
    auto stamp = plainFileStamp(*fm, path);
    if (!stamp) {
      ++plan_.playlistFilesToWrite;
      continue;
    }
    // Compared with the file where the entries are kept, without the
    // text being put together: a file of another length differs unread.
    linesOf(file, present, trackLines, lines, nullptr);
    std::string_view header = session::PlaylistTextMaker::kHeader;
    size_t size = header.size();
    for (std::string_view line : lines) size += line.size();
    bool same = false;
    if (stamp->size == size) {
      auto now = fm->readSmallFile(path, size, nullptr);
      same = now && now->size() == size && std::string_view(*now).starts_with(header);
      for (size_t at = header.size(), k = 0; same && k < lines.size(); at += lines[k++].size())
        same = std::string_view(*now).compare(at, lines[k].size(), lines[k]) == 0;
    }
    plannedSame_[i] = same;
    plannedStamp_[i] = *stamp;
    ++(plannedSame_[i] ? plan_.playlistFilesUnchanged : plan_.playlistFilesToWrite);
  }
  plannedPresent_ = std::move(present);
}

base::Result<base::Done> ExportSession::loadRecord(RecordRead read) {
  // Taken before the reading: a write meanwhile makes the next one differ.
  std::string stamp = fs::DriveRecord::stateStamp(*destination_);
  if (read == RecordRead::kForPlan && !stamp.empty() && stamp == std::exchange(recordAtLoad_, "")) {
    damaged_ = readDamageNote(root_);
    return {};
  }
  recordAtLoad_.clear();
  // A record written since the load: what the drive held then no longer
  // answers.
  driveAtLoad_.reset();
  auto loaded = fs::DriveRecord::load(*destination_, &DestinationLayout::collisionKey);
  if (!loaded) {
    return fail(
        base::Status::Kind::kUsage,
        "The drive's record of the exporter's files cannot be read: " + loaded.status().message());
  }
  driveRecord_ = std::move(*loaded);
  recordStamp_ = stamp;
  if (read == RecordRead::kAtLoad) recordAtLoad_ = std::move(stamp);
  damaged_ = readDamageNote(root_);
  return {};
}

session::Choice ExportSession::chosen() const {
  session::Choice choice;
  choice.copyOnlyChecked = !o_.allTracks;
  choice.alsoCopy = keptOnly_;
  for (const auto& s : selected_)
    choice.playlists.push_back(snapshotPlaylist_.at(s.playlist->persistentId));
  choice.drive = limits_;
  choice.musicRootBytes = musicRoot_.size();
  return choice;
}

session::DriveView ExportSession::driveView() const {
  session::DriveView view{&driveRecord_, library_.libraryPersistentId, fs::timeStepOf(root_),
                          &damaged_};
  view.musicPrefix = musicPrefix_;
  view.keys = &destinationKeys_;
  return view;
}

void ExportSession::observeMoves(fs::FileManager& fm, session::Observed& observed,
                                 bool dropOthers) {
  session::Snapshot some;
  std::vector<size_t> which;
  for (size_t k = 0; k < pendingRenames_.size(); ++k) {
    const PendingRename& p = pendingRenames_[k];
    if (!p.across || p.track >= observed.at.size()) continue;
    some.tracks.push_back(snapshot_.tracks[p.track]);
    some.tracks.back().destination = p.from;
    which.push_back(k);
  }
  if (which.empty()) return;
  // A copy that a playlist file left on the drive after this export lists
  // stays where that file finds it, and the track is copied anew: files
  // of the owner's, the exporter's kept as they stand, and, without a
  // clean-up to remove them first, its stale ones (those of a folder an
  // earlier profile named too).
  std::unordered_set<std::string> listed;
  bool unknown = false;
  if (dropOthers) {
    std::unordered_set<std::string> writtenKeys;
    for (const auto& s : selected_)
      writtenKeys.insert(
          DestinationLayout::collisionKey(playlistRelative(s.fileName + playlistExtension_)));
    const bool cleaning = plan_.cleanUp && mode_ == Mode::kAllPlaylists && cleanUpRefusal().empty();
    const int64_t timeStep = fs::timeStepOf(root_);
    std::vector<std::pair<std::string, std::string>> staying;
    auto consider = [&](const std::string& relative, bool playersFolder) {
      std::string key = DestinationLayout::collisionKey(relative);
      if (writtenKeys.count(key)) return;
      auto known = driveRecord_.entries.find(key);
      auto stamp = plainFileStamp(fm, root_ + "/" + relative);
      bool ours = known != driveRecord_.entries.end() && stamp &&
                  (known->second.kind == fs::EntryKind::kLegacy ||
                   asWritten(known->second, *stamp, timeStep));
      if (cleaning && ours) return;  // removed before any track
      if (!playersFolder && !ours) return;
      base::FileError why;
      auto text = fm.readSmallFile(root_ + "/" + relative, kMaxPlaylistBytes, &why);
      if (text)
        staying.emplace_back(relative, std::move(*text));
      else
        unknown |= why.code != ENOENT;
    };
    base::FileError why;
    auto entries = fm.contentsOfDirectoryAtPath(playlistFolder_, &why);
    unknown |= !entries && why.code != ENOENT;
    for (const auto& e : entries ? *entries : std::vector<fs::DirectoryEntry>()) {
      if (e.type == fs::FileType::kRegular && isPlaylistName(e.name))
        consider(playlistRelative(e.name), true);
    }
    for (const auto& relative : otherFolderPlaylists()) consider(relative, false);
    listed = keptListedKeys(staying);
  }
  session::DriveView view = driveView();
  view.musicPrefix.clear();
  session::Observed there = session::observe(some, root_, fm, view);
  std::vector<uint8_t> drop(pendingRenames_.size());
  for (size_t j = 0; j < which.size(); ++j) {
    uint32_t i = pendingRenames_[which[j]].track;
    if (!unknown &&
        !listed.count(DestinationLayout::collisionKey(pendingRenames_[which[j]].from)) &&
        there.at[j] == session::AtDestination::kTrack &&
        observed.at[i] == session::AtDestination::kNothing &&
        std::find(there.adopted.begin(), there.adopted.end(), j) == there.adopted.end()) {
      observed.onDrive[i] = 1;
      observed.at[i] = session::AtDestination::kTrack;
      observed.driveStamp[i] = there.driveStamp[j];
    } else {
      drop[which[j]] = 1;
    }
  }
  if (!dropOthers) return;
  std::vector<PendingRename> kept;
  for (size_t k = 0; k < pendingRenames_.size(); ++k)
    if (!drop[k]) kept.push_back(std::move(pendingRenames_[k]));
  pendingRenames_ = std::move(kept);
}

base::Result<uint64_t> ExportSession::bytesToCopy(bool lookAgain, uint64_t* spaceNeeded) {
  auto fm = files();
  session::Choice choice = chosen();
  session::Plan sized;
  if (!lookAgain && observed_.onDrive.size() == snapshot_.tracks.size()) {
    sized = session::makePlan(snapshot_, observed_, choice);
  } else {
    if (auto read = loadRecord(); !read) return read.error();
    session::Observed now = session::observe(snapshot_, musicRoot_, *fm, driveView());
    observeMoves(*fm, now, false);
    sized = session::makePlan(snapshot_, now, choice);
  }
  if (spaceNeeded) *spaceNeeded = sized.spaceNeeded;
  return sized.bytesToCopy;
}

}  // namespace app
