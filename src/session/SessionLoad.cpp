#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <future>
#include <set>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "fs/DriveRecord.h"
#include "fs/FileManager.h"
#include "fs/FolderListings.h"
#include "fs/MountPoints.h"
#include "library/PathMap.h"
#include "session/CopyRun.h"
#include "session/DestinationLayout.h"
#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "session/ExportSessionParts.h"
#include "session/StaleWalk.h"

namespace app {

using namespace detail;
namespace stdfs = std::filesystem;

base::Result<base::Done> ExportSession::load() {
  std::string file = o_.library.empty() ? defaultLibraryFile(*services_.configuration) : o_.library;
  if (file.empty()) {
    return fail(base::Status::Kind::kUsage,
                "No library found: neither an iTunes-style XML export under ~/Music nor a "
                "Rhythmbox, Strawberry or Clementine library nor a folder of playlists in "
                "~/Music/Playlists; name one with --library PATH.");
  }
  PathMap map;
  for (const auto& entry : o_.mapPrefixes) {
    size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == entry.size()) {
      return fail(
          base::Status::Kind::kUsage,
          "--map-prefix wants FROM=TO, e.g. 'C:/Users/Me/Music=/mnt/music', not '" + entry + "'");
    }
    try {
      map.add(entry.substr(0, eq), entry.substr(eq + 1));
    } catch (const std::invalid_argument& e) {
      return fail(base::Status::Kind::kUsage, "--map-prefix '" + entry +
                                                  "' cannot be used: " + e.what() +
                                                  " (e.g. 'C:/Users/Me/Music=/mnt/music').");
    }
  }
  // The library is read on a thread of its own while the drive is opened
  // and its record read: neither needs the other. A bad library is said
  // before anything about the drive, as when one followed the other.
  auto libraryAhead = std::async(std::launch::async, [&map, &file, this] {
    return LibraryReader(map).withMusicDir(o_.musicDir).load(file);
  });
  auto opened = openDestination();
  mode_ = o_.playlists.empty() ? Mode::kAllPlaylists : Mode::kChosenPlaylists;
  plan_.cleanUp = !o_.noClean && (mode_ == Mode::kAllPlaylists || o_.clean || o_.cleanAll);
  // So are the copies the record names on the drive, once it is read: most
  // tracks are where it says, and the first plan then asks only about the
  // others. Whatever else is there is left to the plan.
  std::future<DriveAtLoad> driveAhead;
  if (opened && o_.sourcesWhileLoading && !driveRecord_.entries.empty()) {
    std::vector<std::string> paths;
    for (const auto& [key, e] : driveRecord_.entries) {
      if (e.kind == fs::EntryKind::kTrack && e.path.starts_with(musicPrefix_) &&
          !leavesRoot(e.path))
        paths.push_back(root_ + "/" + e.path);
    }
    driveAhead = std::async(std::launch::async, [this, paths = std::move(paths)]() mutable {
      return lookAtRecordedPaths(std::move(paths), plan_.cleanUp);
    });
  }
  auto read = libraryAhead.get();
  if (!read) return fail(base::Status::Kind::kUsage, read.status().message());
  if (!opened) return opened.error();
  library_ = std::move(*read);
  libraryFile_ = file;
  return layOut(&driveAhead);
}

base::Result<base::Done> ExportSession::openDestination() {
  auto format = session::PlaylistFormat::named(o_.playlistFormat);
  if (!format) {
    return fail(base::Status::Kind::kUsage, "--playlist-format takes one of " +
                                                std::string(session::PlaylistFormat::kNames) +
                                                ", not '" + o_.playlistFormat + "'.");
  }
  if (o_.absolutePaths && (format->windows1252 ||
                           format->entries != session::PlaylistFormat::Entries::kRelativeToFile)) {
    return fail(base::Status::Kind::kUsage,
                "--absolute-paths goes only with --playlist-format m3u8.");
  }
  playlistFormat_ = *format;
  if (o_.absolutePaths) playlistFormat_.entries = session::PlaylistFormat::Entries::kAbsolute;
  playlistExtension_ = playlistFormat_.extension();

  std::string to = o_.to;
  if (to.empty()) {
    if (!services_.driveVolume)
      return fail(base::Status::Kind::kUsage,
                  "No drive volume can be chosen here: name a folder with --to DIR.");
    auto volume = services_.driveVolume(o_.drive, &volumeUuid_);
    if (!volume) return volume.error();
    to = *volume;
  }
  auto fm = files();
  base::FileError why;
  auto kind = fm->attributesOfLinkTargetAtPath(to, &why);
  if (!kind && (why.code == ENOENT || why.code == ENOTDIR))
    return fail(base::Status::Kind::kUsage, "The destination " + to + " does not exist.");
  if (!kind)
    return fail(base::Status::Kind::kUsage,
                "The destination " + to + " cannot be used: " + why.localizedDescription);
  if (kind->type != fs::FileType::kDirectory)
    return fail(base::Status::Kind::kUsage, "The destination " + to + " is not a folder.");
  auto resolved = fm->canonicalPath(to, &why);
  if (!resolved)
    return fail(base::Status::Kind::kUsage,
                "The destination " + to + " cannot be used: " + why.localizedDescription);
  root_ = *resolved;
  // A drive that is not plugged in leaves its mount point: writing there
  // would fill this computer's own disk.
  if (auto top = fs::mountTopWithNothingMounted(root_)) {
    return fail(base::Status::Kind::kUsage,
                "The destination cannot be used: nothing is mounted at " + root_ +
                    " (it is a folder on the same file system as " + *top +
                    ", not a drive: is the drive plugged in?).");
  }
  if (!fm->isWritableFileAtPath(root_))
    return fail(base::Status::Kind::kUsage, "The destination " + root_ + " is not writable.");
  destination_ = fs::DestinationRoot::open(root_);
  if (!destination_->isOpen()) {
    return fail(base::Status::Kind::kUsage, "The destination " + root_ + " cannot be used: " +
                                                destination_->openError().localizedDescription);
  }
  if (auto player = applyPlayerProfile(); !player) return player.error();
  // A profile that names the root itself is not followed: a clean-up
  // would then walk the whole drive, the owner's own folders included.
  const std::string& music = player_.musicFolder.value;
  musicPrefix_ = (music.empty() ? std::string(DestinationLayout::kMusicFolder) : music) + "/";
  musicRoot_ = root_ + "/" + musicPrefix_.substr(0, musicPrefix_.size() - 1);
  playlistFolderBelowRoot_ = player_.playlistFolder.value;
  playlistFolder_ =
      playlistFolderBelowRoot_.empty() ? root_ : root_ + "/" + playlistFolderBelowRoot_;
  // Tracks the drive holds keep their paths: the record says where.
  return loadRecord(RecordRead::kAtLoad);
}

ExportSession::DriveAtLoad ExportSession::lookAtRecordedPaths(std::vector<std::string> paths,
                                                              bool keepListings) const {
  DriveAtLoad out;
  auto fm = services_.fileManager();
  out.listings = std::make_shared<fs::FolderListings>();
  fm->shareListings(out.listings);
  // What could not be looked at is left for the plan to ask (and note)
  // again: only what was seen, or seen not to be there, answers for it.
  auto failures = std::make_shared<fs::LookFailures>();
  fm->noteLookFailuresIn(failures);
  std::vector<fs::FileManager::ItemQuery> queries;
  queries.reserve(paths.size());
  for (const std::string& path : paths) queries.push_back({path, true, keepListings});
  auto found = fm->attributesOfItems(queries, 1);
  base::TextSet failed;
  for (const auto& why : failures->all()) failed.insert(why.path);
  out.seen.reserve(paths.size());
  for (size_t i = 0; i < paths.size() && i < found.size(); ++i) {
    if (!failed.count(paths[i])) out.seen.emplace(std::move(paths[i]), std::move(found[i]));
  }
  return out;
}

base::Result<base::Done> ExportSession::layOut(std::future<DriveAtLoad>* driveAhead) {
  // Paths and file names are decided in the library's own order, so they
  // do not change with the playlists chosen; only the tracks of the
  // playlists taken are looked up and given one.
  auto choice = choosePlaylists(library_, o_.playlists);
  if (!choice) return choice.error();
  std::set<const LibraryPlaylist*>& chosen = *choice;
  std::vector<const LibraryPlaylist*> taken;
  std::vector<uint8_t> neededTrack(library_.tracks.size());  // by place in the library
  auto need = [&](const LibraryPlaylist& p) {
    for (uint32_t track : p.tracks) neededTrack[track] = 1;
  };
  for (const auto& p : library_.playlists) {
    if (mode_ == Mode::kAllPlaylists ? !p.exportedByDefault() : chosen.count(&p) == 0) continue;
    taken.push_back(&p);
    need(p);
  }
  // An export of some playlists keeps the exporter's other playlist files
  // as they stand: the tracks they list (by the record's word on what each
  // path holds) are laid out too, so that a copy of one missing from the
  // drive (a repair a kill cut short, a copy removed by hand) is made again.
  keptListed_.clear();
  if (mode_ == Mode::kChosenPlaylists) {
    auto fm = files();
    std::unordered_set<std::string> ids;
    keptAtLoad_ = keptPlaylistFiles(*fm, {});
    keptListed_ = keptListedKeys(keptAtLoad_);
    for (const auto& [relative, text] : keptAtLoad_) {
      bool windows1252 =
          relative.size() >= 4 && relative.compare(relative.size() - 4, 4, ".m3u") == 0;
      for (const auto& entry :
           session::driveEntriesOf(text, windows1252, session::folderOf(relative), root_)) {
        auto e = driveRecord_.entries.find(DestinationLayout::collisionKey(entry));
        if (e != driveRecord_.entries.end() && e->second.kind == fs::EntryKind::kTrack &&
            e->second.libraryId == library_.libraryPersistentId)
          ids.insert(e->second.trackId);
      }
    }
    for (size_t i = 0; i < library_.tracks.size() && !ids.empty(); ++i) {
      if (ids.count(std::string(library_.tracks[i].persistentId.view()))) neededTrack[i] = 1;
    }
  }
  // The sources of the tracks taken are looked at on a thread of their own
  // while their destinations are laid out here. Declared after what it
  // reads, so that leaving early waits for it first.
  std::future<std::vector<std::optional<fs::FileAttributes>>> sourcesAhead;
  sourcesAtLoad_.clear();
  if (o_.sourcesWhileLoading) {
    sourcesAhead = std::async(std::launch::async, [this, &neededTrack, fm = files()] {
      std::vector<fs::FileManager::ItemQuery> queries;
      std::vector<uint32_t> at;
      for (size_t i = 0; i < library_.tracks.size(); ++i) {
        std::string_view source = library_.tracks[i].localPath();
        if (!neededTrack[i] || source.empty()) continue;
        queries.push_back({source, true});
        at.push_back(static_cast<uint32_t>(i));
      }
      auto found = fm->attributesOfItems(queries, 2);
      std::vector<std::optional<fs::FileAttributes>> byPlace(library_.tracks.size());
      for (size_t k = 0; k < at.size() && k < found.size(); ++k) byPlace[at[k]] = found[k];
      return byPlace;
    });
  }
  DestinationLayout::KeptPaths kept;
  const std::string& musicPrefix = musicPrefix_;
  // Copies in a music folder an earlier profile named, by persistent ID:
  // moved into this one rather than copied again.
  std::unordered_map<std::string_view, const fs::RecordEntry*> elsewhere;
  // The library's IDs are looked up only when the record holds tracks.
  std::unordered_set<std::string_view, base::TextHash, std::equal_to<>> libraryIds;
  auto inLibrary = [&](const std::string& id) {
    if (libraryIds.empty()) {
      libraryIds.reserve(library_.tracks.size());
      for (const auto& t : library_.tracks) libraryIds.insert(t.persistentId.view());
      kept.reserve(library_.tracks.size());
    }
    return libraryIds.count(id) != 0;
  };
  // Copies the record holds for tracks this library does not know by ID
  // (a library rebuilt or moved since, with new persistent IDs), by the
  // size and time their source had.
  std::map<std::pair<uint64_t, int64_t>, std::vector<const fs::RecordEntry*>> unclaimed;
  const bool layoutsOwnFolder = musicPrefix == std::string(DestinationLayout::kMusicFolder) + "/";
  for (const auto& [key, e] : driveRecord_.entries) {
    if (e.kind != fs::EntryKind::kTrack) continue;
    if (e.path.compare(0, musicPrefix.size(), musicPrefix) != 0) {
      if (e.libraryId == library_.libraryPersistentId && !leavesRoot(e.path) &&
          !keptListed_.count(e.key))
        elsewhere.emplace(e.trackId, &e);
      continue;
    }
    if (e.libraryId == library_.libraryPersistentId && inLibrary(e.trackId)) {
      // The record's key is the layout's while the music folder is its.
      kept.emplace(e.trackId, DestinationLayout::KeptPath{
                                  std::string_view(e.path).substr(musicPrefix.size()),
                                  layoutsOwnFolder ? std::string_view(key) : std::string_view()});
    } else {
      unclaimed[{e.source.size, e.source.mtimeNs}].push_back(&e);
    }
  }
  // A track the record does not know whose source is the one such a copy
  // was made from keeps that copy's path, and takes the copy over.
  if (!unclaimed.empty()) {
    std::unordered_map<std::string_view, const LibraryTrack*> byId;
    for (size_t i = 0; i < library_.tracks.size(); ++i) {
      if (neededTrack[i]) byId.emplace(library_.tracks[i].persistentId, &library_.tracks[i]);
    }
    auto sources = files();
    for (const auto& [id, t] : byId) {
      if (kept.count(id)) continue;
      auto source = sources->attributesOfLinkTargetAtPath(std::string(t->localPath()), nullptr);
      if (!source || source->type != fs::FileType::kRegular) continue;
      auto match = unclaimed.find({source->size, source->modificationTimeNs});
      if (match == unclaimed.end() || match->second.empty()) continue;
      kept.emplace(
          id, DestinationLayout::KeptPath{
                  std::string_view(match->second.back()->path).substr(musicPrefix.size()), {}});
      match->second.pop_back();
    }
  }
  DestinationLayout::LibraryPlaces paths =
      DestinationLayout::forLibraryByPlace(library_, &neededTrack, &kept);
  // Keyed by the path they were made of: a path changed since (renamed,
  // converted) is folded anew. A key folds a component at a time, so its
  // folders' keys end at its slashes, as their paths do.
  destinationKeys_.byPath.clear();
  destinationKeys_.byPath.reserve(paths.keys.size() + paths.keys.size() / 4);
  for (size_t i = 0; i < paths.keys.size(); ++i) {
    if (!paths.tracks[i] || paths.keys[i].empty()) continue;
    const std::string& path = *paths.tracks[i];
    const std::string& key = paths.keys[i];
    for (size_t at = path.rfind('/'), keyAt = key.rfind('/');
         at != std::string::npos && at > 0 && keyAt != std::string::npos && keyAt > 0;
         at = path.rfind('/', at - 1), keyAt = key.rfind('/', keyAt - 1)) {
      if (!destinationKeys_.byPath.try_emplace(path.substr(0, at), key.substr(0, keyAt)).second)
        break;
    }
    destinationKeys_.byPath.emplace(path, std::move(paths.keys[i]));
  }
  // A track the drive holds under an earlier spelling of its name stays
  // there until the copy renames it: the plan and a dry run see where it
  // is now.
  std::unordered_map<std::string, std::string> newNames;
  std::unordered_map<std::string_view, uint32_t> renamedAt;  // by persistent ID
  if (!paths.renamedFrom.empty()) {
    for (size_t i = 0; i < library_.tracks.size(); ++i) {
      std::string id(library_.tracks[i].persistentId.view());
      if (paths.renamedFrom.count(id)) renamedAt.emplace(library_.tracks[i].persistentId, i);
    }
  }
  for (const auto& [id, old] : paths.renamedFrom) {
    // A track renamed but not wanted is still placed, where it is now.
    std::optional<std::string>& path = paths.tracks[renamedAt.at(id)];
    if (!path) path.emplace();
    newNames[id] = std::exchange(*path, old);
  }
  DestinationLayout layout;  // names of playlists only chosen ones take
  for (const auto& p : paths.playlists) layout.playlistFileName(p.second);

  std::vector<uint32_t> places;
  snapshot_ = session::snapshotOf(library_, std::move(paths.tracks), &places);
  if (sourcesAhead.valid()) {
    std::vector<std::optional<fs::FileAttributes>> byPlace = sourcesAhead.get();
    sourcesAtLoad_.reserve(places.size());
    for (uint32_t place : places) {
      // A track placed though not taken (renamed on the drive) was not
      // looked at: the plan then looks at them all.
      if (!neededTrack[place]) {
        sourcesAtLoad_.clear();
        break;
      }
      sourcesAtLoad_.push_back(byPlace[place]);
    }
  }
  driveAtLoad_.reset();
  if (driveAhead && driveAhead->valid()) driveAtLoad_ = driveAhead->get();
  snapshotLibraryTrack_.clear();
  snapshotLibraryTrack_.reserve(places.size());
  snapshotAt_.assign(library_.tracks.size(), kNotInSnapshot);
  for (uint32_t i = 0; i < places.size(); ++i) {
    snapshotLibraryTrack_.push_back(&library_.tracks[places[i]]);
    snapshotAt_[places[i]] = i;
  }
  for (uint32_t i = 0; i < snapshot_.playlists.size(); ++i)
    snapshotPlaylist_.emplace(snapshot_.playlists[i].id, i);
  pendingRenames_.clear();
  for (auto& [id, name] : newNames) {
    uint32_t at = snapshotAt_[renamedAt.at(id)];
    if (at != kNotInSnapshot)
      pendingRenames_.push_back(
          {at, musicPrefix + snapshot_.tracks[at].destination, musicPrefix + name, false});
  }
  // A track whose copy lies in an earlier music folder is placed as a new
  // one would be, and the copy moves there (the plan looks at it where it
  // is). A copy a kept playlist file lists stays for that file.
  if (!elsewhere.empty()) {
    for (uint32_t at = 0; at < snapshot_.tracks.size(); ++at) {
      // Only a track the export lists moves: another's copy goes stale
      // where it is, as it would have in the folder it moved to.
      if (!neededTrack[places[at]] || !session::listable(snapshot_.tracks[at], !o_.allTracks))
        continue;
      auto found = elsewhere.find(snapshot_.tracks[at].id);
      if (found == elsewhere.end() || kept.count(found->first)) continue;
      pendingRenames_.push_back({at, found->second->path, {}, true});
    }
  }

  // A playlist file of the user's at a playlist's name is never replaced:
  // the exporter's goes beside it, under the first numbered name that is
  // free or already its own.
  const int64_t timeStep = fs::timeStepOf(root_);
  const std::string& ext = playlistExtension_;
  std::unordered_set<std::string> takenNames;
  for (const auto& [id, name] : paths.playlists)
    takenNames.insert(DestinationLayout::collisionKey(name + ext));
  auto lookups = files();
  auto usable = [&](const std::string& name) {
    std::string relative = playlistRelative(name + ext);
    base::FileError why;
    auto at = lookups->attributesOfItemAtPath(root_ + "/" + relative, &why);
    if (!at) return why.code == ENOENT;
    if (at->type != fs::FileType::kRegular) return false;
    // The exporter's file while it is as written: one the user put at its
    // name since (a list of their own saved over it) is theirs.
    auto known = driveRecord_.entries.find(DestinationLayout::collisionKey(relative));
    if (known != driveRecord_.entries.end() && known->second.kind != fs::EntryKind::kLegacy) {
      return asWritten(known->second, {at->size, at->modificationTimeNs}, timeStep);
    }
    return known != driveRecord_.entries.end();  // an older list's path, not removed since
  };
  for (const LibraryPlaylist* taking : taken) {
    const LibraryPlaylist& p = *taking;
    auto named = paths.playlists.find(p.persistentId);
    std::string fileName =
        named != paths.playlists.end() ? named->second : layout.playlistFileName(p.name);
    if (!usable(fileName)) {
      std::string beside;
      for (int n = 2; beside.empty() && n < 10000; ++n) {
        std::string candidate = DestinationLayout::numbered(fileName + ext, n, 0);
        candidate.resize(candidate.size() - ext.size());
        if (takenNames.count(DestinationLayout::collisionKey(candidate + ext)) == 0 &&
            usable(candidate))
          beside = candidate;
      }
      if (!beside.empty()) {
        besideUsers_.emplace_back(fileName + ext, beside + ext);
        takenNames.insert(DestinationLayout::collisionKey(beside + ext));
        fileName = beside;
      }
    }
    selected_.push_back({&p, fileName});
  }
  if (o_.remembered) return chooseRemembered();
  return {};
}

}  // namespace app
