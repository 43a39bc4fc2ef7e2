#include "session/ExportSession.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <set>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "library/PathMap.h"
#include "platform/DriveRecord.h"
#include "platform/FileManager.h"
#include "platform/FolderListings.h"
#include "platform/InsideFolder.h"
#include "platform/Log.h"
#include "platform/MountPoints.h"
#include "platform/ProgressIndicator.h"
#include "platform/ReplaceFile.h"
#include "session/CopyRun.h"
#include "session/DestinationLayout.h"
#include "session/DriveCheck.h"
#include "session/DriveRenames.h"
#include "session/ExportOptions.h"
#include "session/RememberedChoices.h"
#include "session/StaleWalk.h"

namespace app {
namespace {

// A destination with a ".." component would lead out of the music folder.
bool leavesRoot(std::string_view relative) {
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    if (relative.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

namespace fs = std::filesystem;

// Whether a file with the stamp `now` is the one the entry describes. A
// playlist file's entry is written before the new file is named, and
// keeps the stamp of the file it replaces (in `source`, which playlist
// files have no other use for): a kill between the two leaves that one,
// still the exporter's.
bool asWritten(const platform::RecordEntry& e, const platform::FileStamp& now, int64_t step) {
  auto same = [&](const platform::FileStamp& a) {
    return platform::sameStamp(a, now, step) != platform::StampMatch::kDifferent;
  };
  return same(e.drive) ||
         (e.kind == platform::EntryKind::kPlaylist && e.source.mtimeNs != 0 && same(e.source));
}

// The size and time of the plain file at `path` (not through a link).
std::optional<platform::FileStamp> plainFileStamp(platform::FileManager& fm,
                                                  const std::string& path) {
  auto a = fm.attributesOfItemAtPath(path, nullptr);
  if (!a || a->type != platform::FileType::kRegular) return std::nullopt;
  return platform::FileStamp{a->size, a->modificationTimeNs};
}

// The record's entry for a file about to be named below `root`.
std::optional<platform::RecordEntry> entryOfStaged(const platform::DestinationRoot& root,
                                                   const platform::CopyBatchOptions::Staged& file,
                                                   platform::EntryKind kind) {
  auto relative = root.relativePath(file.to);
  if (!relative) return std::nullopt;
  platform::RecordEntry e;
  e.path = *relative;
  e.key = DestinationLayout::collisionKey(e.path);
  e.kind = kind;
  e.drive = {file.size, file.modificationTimeNs};
  e.checksum = file.checksum;
  return e;
}

// No playlist file the exporter writes comes near this; a larger one is
// not read as the exporter's.
constexpr size_t kMaxPlaylistBytes = 64 << 20;

}  // namespace

namespace {

// A source path longer than the system takes cannot even be opened; it is
// told apart from a destination name the drive refuses.
std::string sourcePathTooLong(const std::string& source) {
  return "the source file's path is too long to open (more than " + std::to_string(PATH_MAX) +
         " bytes) (" + source + ")";
}

}  // namespace

std::string describeCopyFailure(const platform::FileError& e, const std::string& source) {
  const std::string& where = e.path.empty() ? source : e.path;
  bool atSource =
      !source.empty() && (e.path.empty() ? source.size() >= PATH_MAX : e.path == source);
  switch (e.code) {
    case kDriveReturnedOtherData:
      return "the drive returned different data when the copy was read back; the copy was "
             "removed (" +
             where + ")";
    case ENOSPC:
    case EDQUOT:
      return "no space left on the drive (" + where + ")";
    case ENODEV:
      return "the drive was removed";
    case ESTALE:
      return "the destination changed while copying: its folder was moved or replaced (" + where +
             ")";
    case EIO:
      if (atSource) return "the source file could not be read (input/output error) (" + where + ")";
      return "the drive could not be written (input/output error: was it removed?) (" + where + ")";
    case EROFS:
      return "the drive is read-only (" + where + ")";
    case EFBIG:
      return "the file is larger than the file system allows (FAT32 holds at most 4 GiB per file) "
             "(" +
             where + ")";
    case EISDIR:
      return atSource ? "the source is a folder (" + where + ")" : "a folder stands at " + where;
    case EEXIST:
      return "another file already stands at " + where;
    case ENOTDIR:
      return std::string("a file stands where a folder belongs, on the way to ") +
             (atSource ? "the source file " : "") + where;
    case ELOOP:
      if (atSource) return "the source file's path loops through symbolic links (" + where + ")";
      return "a symbolic link stands in the way, on the way to " + where +
             " (nothing is written through links)";
    case EACCES:
    case EPERM:
      return (atSource ? "the source file cannot be read: permission denied ("
                       : "permission denied on the drive (") +
             where + ")";
    case ENOENT:
      return atSource ? "the source file is missing (" + where + ")"
                      : "a folder on the way is missing (" + where + ")";
    case ENAMETOOLONG:
      if (atSource) return sourcePathTooLong(where);
      return "the name is too long for the drive (" + where + ")";
    case ECANCELED:
      return "the export was interrupted";
    case EXDEV:
      return "its path is not inside the destination folder (" + where + ")";
    default:
      if (atSource && e.code == platform::kNotRegularFile)
        return "not a regular file (" + where + ")";
      return e.localizedDescription.empty() ? "error " + std::to_string(e.code)
                                            : e.localizedDescription;
  }
}

namespace {

ExportError fail(ExportError::Kind kind, std::string message) {
  return {kind, platform::Status::withMessage(std::move(message), "")};
}

std::string defaultLibraryFile() { return LibraryReader::defaultExport().value_or(""); }

std::string refusalReason(session::Refused::Why why) {
  switch (why) {
    case session::Refused::Why::kTooLarge:
      return "it cannot be copied there: the drive's file system holds files of at most 4 GiB - "
             "1 byte (FAT32)";
    case session::Refused::Why::kNameTooLong:
      return "it cannot be copied there: a name on its path is longer than the drive's file "
             "system allows (255 UTF-16 units)";
    case session::Refused::Why::kNameNotAscii:
      return "it cannot be copied there: the drive's driver (fusefat) takes names of ASCII "
             "characters only";
    case session::Refused::Why::kPathTooLong:
      break;
  }
  return "it cannot be copied there: its path is longer than the system allows (" +
         std::to_string(PATH_MAX) + " bytes)";
}

uint64_t capacityBytes(const std::string& path) {
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
}

size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The playlists named (without regard to case or Unicode composition);
// a folder stands for every playlist inside it. A name that matches
// nothing is an error that offers the nearest names.
Outcome<std::set<const LibraryPlaylist*>> choosePlaylists(const Library& library,
                                                          const std::vector<std::string>& names) {
  std::set<const LibraryPlaylist*> chosen;
  std::multimap<std::string, const LibraryPlaylist*> children;
  for (const auto& p : library.playlists) children.emplace(p.parentPersistentId, &p);
  std::set<const LibraryPlaylist*> opened;  // a folder listed as its own ancestor is opened once
  // A list of what is still to open rather than recursion: folders may
  // nest as deep as the library says, a quarter of a million levels too.
  std::vector<const LibraryPlaylist*> pending;
  auto take = [&](const LibraryPlaylist& named) {
    pending.push_back(&named);
    while (!pending.empty()) {
      const LibraryPlaylist* p = pending.back();
      pending.pop_back();
      if (!p->folder) {
        chosen.insert(p);
      } else if (opened.insert(p).second) {
        auto [begin, end] = children.equal_range(p->persistentId);
        for (auto it = begin; it != end; ++it) pending.push_back(it->second);
      }
    }
  };
  for (const auto& name : names) {
    std::string key = DestinationLayout::collisionKey(name);
    bool found = false;
    std::vector<std::pair<size_t, std::string>> near;
    for (const auto& p : library.playlists) {
      std::string candidate = DestinationLayout::collisionKey(p.name);
      if (candidate == key) {
        found = true;
        take(p);
      } else if (!p.master) {
        size_t d = editDistance(key, candidate);
        if (candidate.find(key) != std::string::npos || key.find(candidate) != std::string::npos)
          d = std::min<size_t>(d, 1);
        if (d <= std::max<size_t>(2, key.size() / 3)) near.emplace_back(d, p.name);
      }
    }
    if (found) continue;
    std::sort(near.begin(), near.end());
    near.erase(std::unique(near.begin(), near.end(),
                           [](const auto& a, const auto& b) { return a.second == b.second; }),
               near.end());
    std::string hint;
    for (size_t i = 0; i < near.size() && i < 3; ++i) {
      hint += (i == 0                                      ? " Did you mean \""
               : i + 1 == std::min<size_t>(near.size(), 3) ? " or \""
                                                           : ", \"") +
              near[i].second + "\"";
    }
    if (!hint.empty()) hint += "?";
    return fail(ExportError::Kind::kUsage, "The library has no playlist named \"" + name + "\"." +
                                               hint + " (tessaline playlists lists them.)");
  }
  return chosen;
}

}  // namespace

Outcome<Done> ExportSession::load() {
  std::string file = o_.library.empty() ? defaultLibraryFile() : o_.library;
  if (file.empty()) {
    return fail(ExportError::Kind::kUsage,
                "No library export found under ~/Music; name one with --library FILE "
                "(in iTunes: File > Library > Export Library...).");
  }
  PathMap map;
  for (const auto& entry : o_.mapPrefixes) {
    size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == entry.size()) {
      return fail(
          ExportError::Kind::kUsage,
          "--map-prefix wants FROM=TO, e.g. 'C:/Users/Me/Music=/mnt/music', not '" + entry + "'");
    }
    try {
      map.add(entry.substr(0, eq), entry.substr(eq + 1));
    } catch (const std::invalid_argument& e) {
      return fail(ExportError::Kind::kUsage, "--map-prefix '" + entry +
                                                 "' cannot be used: " + e.what() +
                                                 " (e.g. 'C:/Users/Me/Music=/mnt/music').");
    }
  }
  auto read = LibraryReader(map).load(file);
  if (!read) return fail(ExportError::Kind::kUsage, read.status().message());
  library_ = std::move(*read);
  libraryFile_ = file;
  auto format = session::PlaylistFormat::named(o_.playlistFormat);
  if (!format) {
    return fail(ExportError::Kind::kUsage, "--playlist-format takes one of " +
                                               std::string(session::PlaylistFormat::kNames) +
                                               ", not '" + o_.playlistFormat + "'.");
  }
  if (o_.absolutePaths && (format->windows1252 ||
                           format->entries != session::PlaylistFormat::Entries::kRelativeToFile)) {
    return fail(ExportError::Kind::kUsage,
                "--absolute-paths goes only with --playlist-format m3u8.");
  }
  playlistFormat_ = *format;
  if (o_.absolutePaths) playlistFormat_.entries = session::PlaylistFormat::Entries::kAbsolute;
  playlistExtension_ = playlistFormat_.extension();

  std::error_code ec;
  std::string to = o_.to;
  if (to.empty()) {
    if (!services_.driveVolume)
      return fail(ExportError::Kind::kUsage,
                  "No drive volume can be chosen here: name a folder with --to DIR.");
    auto volume = services_.driveVolume(o_.drive, &volumeUuid_);
    if (!volume) return volume.error();
    to = *volume;
  }
  if (!fs::is_directory(to, ec))
    return fail(ExportError::Kind::kUsage, "The destination " + to + " is not a folder.");
  root_ = fs::canonical(to, ec).string();
  if (ec)
    return fail(ExportError::Kind::kUsage,
                "The destination " + to + " cannot be used: " + ec.message());
  // A drive that is not plugged in leaves its mount point: writing there
  // would fill this computer's own disk.
  if (auto top = platform::mountTopWithNothingMounted(root_)) {
    return fail(ExportError::Kind::kUsage,
                "The destination cannot be used: nothing is mounted at " + root_ +
                    " (it is a folder on the same file system as " + *top +
                    ", not a drive: is the drive plugged in?).");
  }
  if (access(root_.c_str(), W_OK) != 0)
    return fail(ExportError::Kind::kUsage, "The destination " + root_ + " is not writable.");
  destination_ = platform::DestinationRoot::open(root_);
  if (!destination_->isOpen()) {
    return fail(ExportError::Kind::kUsage, "The destination " + root_ + " cannot be used: " +
                                               destination_->openError().localizedDescription);
  }
  musicRoot_ = (fs::path(root_) / DestinationLayout::kMusicFolder).string();
  playlistFolder_ = (fs::path(root_) / DestinationLayout::kPlaylistFolder).string();

  mode_ = o_.playlists.empty() ? Mode::kAllPlaylists : Mode::kChosenPlaylists;
  plan_.cleanUp = !o_.noClean && (mode_ == Mode::kAllPlaylists || o_.clean || o_.cleanAll);

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
  if (mode_ == Mode::kChosenPlaylists) {
    if (auto read = loadRecord(); !read) return read.error();
    auto fm = files();
    std::unordered_set<std::string> ids;
    keptAtLoad_ = keptPlaylistFiles(*fm, {});
    for (const auto& [relative, text] : keptAtLoad_) {
      bool windows1252 =
          relative.size() >= 4 && relative.compare(relative.size() - 4, 4, ".m3u") == 0;
      for (const auto& entry :
           session::musicEntriesOf(text, windows1252, DestinationLayout::kPlaylistFolder, root_)) {
        auto e = driveRecord_.entries.find(DestinationLayout::collisionKey(
            std::string(DestinationLayout::kMusicFolder) + "/" + entry));
        if (e != driveRecord_.entries.end() && e->second.kind == platform::EntryKind::kTrack &&
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
  std::future<std::vector<std::optional<platform::FileAttributes>>> sourcesAhead;
  sourcesAtLoad_.clear();
  if (o_.sourcesWhileLoading) {
    sourcesAhead = std::async(std::launch::async, [this, &neededTrack, fm = files()] {
      std::vector<platform::FileManager::ItemQuery> queries;
      std::vector<uint32_t> at;
      for (size_t i = 0; i < library_.tracks.size(); ++i) {
        std::string_view source = library_.tracks[i].localPath();
        if (!neededTrack[i] || source.empty()) continue;
        queries.push_back({source, true});
        at.push_back(static_cast<uint32_t>(i));
      }
      auto found = fm->attributesOfItems(queries, 2);
      std::vector<std::optional<platform::FileAttributes>> byPlace(library_.tracks.size());
      for (size_t k = 0; k < at.size() && k < found.size(); ++k) byPlace[at[k]] = found[k];
      return byPlace;
    });
  }
  // Tracks the drive holds keep their paths: the record says where.
  if (auto read = loadRecord(); !read) return read.error();
  DestinationLayout::KeptPaths kept;
  const std::string musicPrefix = std::string(DestinationLayout::kMusicFolder) + "/";
  // The library's IDs are looked up only when the record holds tracks.
  std::unordered_set<std::string_view> libraryIds;
  auto inLibrary = [&](const std::string& id) {
    if (libraryIds.empty()) {
      for (const auto& t : library_.tracks) libraryIds.insert(t.persistentId.view());
    }
    return libraryIds.count(id) != 0;
  };
  // Copies the record holds for tracks this library does not know by ID
  // (a library rebuilt or moved since, with new persistent IDs), by the
  // size and time their source had.
  std::map<std::pair<uint64_t, int64_t>, std::vector<const platform::RecordEntry*>> unclaimed;
  for (const auto& [key, e] : driveRecord_.entries) {
    if (e.kind != platform::EntryKind::kTrack ||
        e.path.compare(0, musicPrefix.size(), musicPrefix) != 0)
      continue;
    if (e.libraryId == library_.libraryPersistentId && inLibrary(e.trackId)) {
      kept.emplace(e.trackId, std::string_view(e.path).substr(musicPrefix.size()));
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
      if (!source || source->type != platform::FileType::kRegular) continue;
      auto match = unclaimed.find({source->size, source->modificationTimeNs});
      if (match == unclaimed.end() || match->second.empty()) continue;
      kept.emplace(id, std::string_view(match->second.back()->path).substr(musicPrefix.size()));
      match->second.pop_back();
    }
  }
  DestinationLayout::LibraryPlaces paths =
      DestinationLayout::forLibraryByPlace(library_, &neededTrack, &kept);
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
    std::vector<std::optional<platform::FileAttributes>> byPlace = sourcesAhead.get();
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
      pendingRenames_.push_back({at, snapshot_.tracks[at].destination, std::move(name)});
  }

  // A playlist file of the user's at a playlist's name is never replaced:
  // the exporter's goes beside it, under the first numbered name that is
  // free or already its own.
  const int64_t timeStep = session::timeStepOf(root_);
  const std::string& ext = playlistExtension_;
  std::unordered_set<std::string> takenNames;
  for (const auto& [id, name] : paths.playlists)
    takenNames.insert(DestinationLayout::collisionKey(name + ext));
  auto lookups = files();
  auto usable = [&](const std::string& name) {
    std::string relative = std::string(DestinationLayout::kPlaylistFolder) + "/" + name + ext;
    platform::FileError why;
    auto at = lookups->attributesOfItemAtPath(root_ + "/" + relative, &why);
    if (!at) return why.code == ENOENT;
    if (at->type != platform::FileType::kRegular) return false;
    // The exporter's file while it is as written: one the user put at its
    // name since (a list of their own saved over it) is theirs.
    auto known = driveRecord_.entries.find(DestinationLayout::collisionKey(relative));
    if (known != driveRecord_.entries.end() && known->second.kind != platform::EntryKind::kLegacy) {
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
Outcome<Done> ExportSession::chooseRemembered() {
  auto ids = session::RememberedChoices().playlists(rememberKey());
  if (!ids) {
    return fail(ExportError::Kind::kUsage,
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
    return fail(ExportError::Kind::kUsage,
                "None of the " + std::to_string(ids->size()) + " playlists remembered for " +
                    root_ + " is in the library " + libraryFile_ + "; nothing was changed.");
  }
  choose(known);
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
  platform::InsideFolder destination(root_);
  if (destination.contains(fs::absolute(libraryFile_).string())) {
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
Outcome<size_t> ExportSession::prepare() {
  std::string holder;
  int e = destination_->lock(&holder);
  if (e == EWOULDBLOCK) {
    return fail(ExportError::Kind::kBusy,
                "Another export to " + root_ + " is under way" +
                    (holder.empty() ? "" : " (process " + holder + ")") +
                    "; wait for it to finish, then try again. Nothing was changed.");
  }
  if (e != 0) {
    return fail(ExportError::Kind::kFailed,
                "The destination " + root_ + " cannot be written: " + std::strerror(e) + ".");
  }
  // Unfinished copies of earlier runs (a kill, a power cut, a pulled
  // drive) are the exporter's own: every export removes them.
  auto fm = files();
  size_t removed = 0;
  bool settled = true;
  std::function<void(const std::string&)> sweep = [&](const std::string& folder) {
    auto entries = fm->contentsOfDirectoryAtPath(folder, nullptr);
    if (!entries) return;
    for (const auto& entry : *entries) {
      std::string path = folder + "/" + entry.name;
      if (entry.type == platform::FileType::kDirectory) {
        sweep(path);
      } else if (entry.type != platform::FileType::kRegular || !temporaryIsOurs(path)) {
        // A name alone makes nothing the exporter's.
      } else if (platform::FileManager::isPartialCopyName(entry.name)) {
        if (fm->removeItemBelowRoot(*destination_, path, platform::RemoveKind::kFile, nullptr))
          ++removed;
        else
          settled = false;
      } else if (platform::isAsideName(entry.name)) {
        // A replacement cut short: the old file goes back, or the aside
        // copy of it goes once the new one stands.
        auto relative = destination_->relativePath(folder);
        int fd = relative ? destination_->openFolder(*relative, false) : -ENOENT;
        bool restored = false;
        int e = fd < 0 ? -fd : platform::recoverAside(fd, entry.name, &restored);
        if (fd >= 0) close(fd);
        if (e != 0) {
          settled = false;
          platform::logLine("Export: cannot settle " + path + ": " + std::strerror(e));
        } else if (restored) {
          keptAtLoad_.clear();  // what the load read may be the old text
          platform::logLine("Export: put back " + path +
                            " under its name: its replacement was cut short");
        }
      }
    }
  };
  loadIntents();
  sweep(musicRoot_);
  sweep(playlistFolder_);
  // Everything the intents named is settled: they go, and this run notes
  // its own before its first temporary.
  if (settled) {
    destination_->clearIntents();
    platform::DestinationRoot::open(musicRoot_)->clearIntents();
    intents_.clear();
  }
  return removed;
}

std::vector<std::string> ExportSession::stalePlaylistFiles() const {
  std::vector<std::string> stale;
  if (mode_ != Mode::kAllPlaylists) return stale;
  std::set<std::string> written;
  for (const auto& s : selected_) written.insert(s.fileName + playlistExtension_);
  auto fm = files();
  auto entries = fm->contentsOfDirectoryAtPath(playlistFolder_, nullptr);
  if (!entries) return stale;
  for (const auto& e : *entries) {
    const std::string& n = e.name;
    std::string_view ext = std::string_view(n).substr(std::min(n.rfind('.'), n.size()));
    // An ".m3u" file is stale only when the exporter wrote it (in another
    // format): the user's own, made by another program, is not this
    // exporter's business, not even for --clean-all.
    bool playlist =
        ext == ".m3u8" ||
        (ext == ".m3u" && driveRecord_.entries.count(DestinationLayout::collisionKey(
                              std::string(DestinationLayout::kPlaylistFolder) + "/" + n)));
    if (e.type == platform::FileType::kRegular && playlist && !written.count(n)) {
      stale.push_back((fs::path(playlistFolder_) / n).string());
    }
  }
  return stale;
}

// The stale list, each item judged: the exporter's own (in its record, or
// an unfinished copy) or the user's. A folder counts as the exporter's
// when nothing the user's stays in it.
void ExportSession::findStale(const std::shared_ptr<platform::FileManager>& fm) {
  plan_.stale.clear();
  plan_.staleBytes = 0;
  // Needed: every path a playlist file the exporter keeps lists, or will
  // list once this export is done.
  const std::unordered_set<std::string>& needed = target_.needed;
  loadIntents();
  auto list = session::walkStale(*fm, musicRoot_, needed, DestinationLayout::kArtFileName).paths;
  auto playlists = stalePlaylistFiles();
  // Paths the older lists name (the drive's own, and the one copies made
  // through the script bridge keep in the tracks' own root), less those
  // the record has seen removed since: a file at such a name now is not
  // the one the exporter wrote.
  record_.clear();
  std::unordered_set<std::string>& record = record_;
  auto musicRecord = platform::DestinationRoot::open(musicRoot_);
  for (const auto& p : destination_->readRecord()) {
    if (!driveRecord_.removed.count(DestinationLayout::collisionKey(p))) record.insert(p);
  }
  for (const auto& p : musicRecord->readRecord()) {
    std::string path = std::string(DestinationLayout::kMusicFolder) + "/" + p;
    if (!driveRecord_.removed.count(DestinationLayout::collisionKey(path)))
      record.insert(std::move(path));
  }
  std::unordered_set<std::string> keptFolders;  // folders that keep something of the user's
  const int64_t timeStep = session::timeStepOf(root_);
  // Folders (relative to the root) that hold, or held, a file the
  // exporter recorded: the only folders it ever makes.
  std::unordered_set<std::string> ourFolders;
  auto holdsOurs = [&](const std::string& file) {
    for (size_t slash = file.rfind('/'); slash != std::string::npos && slash > 0;
         slash = file.rfind('/', slash - 1)) {
      if (!ourFolders.insert(file.substr(0, slash)).second) break;
    }
  };
  for (const auto& path : record) holdsOurs(path);
  for (const auto& [key, e] : driveRecord_.entries) holdsOurs(e.path);
  // The folders the exporter makes are recorded as it makes them; a
  // drive written before that goes by the files recorded in a folder
  // (until the next copy records those folders), and so do the folders
  // of the script bridge's copies, which record paths only.
  const bool foldersRecorded = std::any_of(
      driveRecord_.entries.begin(), driveRecord_.entries.end(),
      [](const auto& entry) { return entry.second.kind == platform::EntryKind::kFolder; });
  std::unordered_set<std::string> bridgeFolders;
  if (foldersRecorded) {
    std::swap(bridgeFolders, ourFolders);
    for (const auto& p : musicRecord->readRecord())
      holdsOurs(std::string(DestinationLayout::kMusicFolder) + "/" + p);
    std::swap(bridgeFolders, ourFolders);
  }
  auto folderIsOurs = [&](const std::string& relative) {
    if (!foldersRecorded) return ourFolders.count(relative) != 0;
    auto known = driveRecord_.entries.find(DestinationLayout::collisionKey(relative));
    return (known != driveRecord_.entries.end() &&
            known->second.kind == platform::EntryKind::kFolder) ||
           bridgeFolders.count(relative) != 0;
  };
  auto keep = [&](const std::string& path) {
    for (std::string folder = fs::path(path).parent_path().string(); folder.size() > root_.size();
         folder = fs::path(folder).parent_path().string()) {
      if (!keptFolders.insert(folder).second) break;
    }
  };
  auto judge = [&](const std::string& path, bool playlistFile) {
    StaleItem item;
    item.path = path;
    item.playlistFile = playlistFile;
    auto attributes = fm->attributesOfItemAtPath(path, nullptr);
    item.folder = attributes && attributes->type == platform::FileType::kDirectory;
    if (attributes && !item.folder) {
      item.bytes = attributes->size;
      item.seenTimeNs = attributes->modificationTimeNs;
    }
    auto relative = destination_->relativePath(path);
    if (item.folder) {
      // The exporter makes folders only to hold its files: a folder no
      // recorded file lies in (one a user made, "To sort later/2024") is
      // theirs, even empty.
      item.written = relative && folderIsOurs(*relative) && keptFolders.count(path) == 0;
    } else {
      std::string name = fs::path(path).filename().string();
      item.partial = platform::FileManager::isPartialCopyName(name) || platform::isAsideName(name);
      item.written = item.partial && temporaryIsOurs(path);
      if (!item.written && relative) {
        // A file the record knows by identity is the exporter's only while
        // it is as the exporter wrote it: one a user put at that name since
        // is theirs. A path only the older record names goes by its name.
        auto known = driveRecord_.entries.find(DestinationLayout::collisionKey(*relative));
        if (known != driveRecord_.entries.end() &&
            known->second.kind != platform::EntryKind::kLegacy) {
          item.written =
              attributes && asWritten(known->second,
                                      {attributes->size, attributes->modificationTimeNs}, timeStep);
          // One that could not be looked at is kept as it is, still the
          // exporter's for the next export to judge.
          item.changed = attributes && !item.written;
        } else {
          // Named by an older list of paths alone (an older version's, or a
          // script's copy), with nothing to tell whether the file there is
          // still the one written: possibly the user's, kept unless asked.
          item.possiblyYours = record.count(*relative) != 0;
        }
      }
    }
    item.ours = o_.cleanAll || item.written;
    if (!item.ours) keep(path);
    if (item.ours) plan_.staleBytes += item.bytes;
    plan_.stale.push_back(std::move(item));
  };
  // Stale playlist files go first: an export stopped half-way through the
  // clean-up then leaves no playlist file listing a track already deleted.
  // The list holds a folder's contents before the folder.
  for (const auto& p : playlists) judge(p, true);
  for (const auto& p : list) judge(p, false);
}

ExportSession::ExportSession(const ExportOptions& options, Services services)
    : o_(options), services_(std::move(services)) {}

ExportSession::~ExportSession() = default;

Outcome<const ExportPlan*> ExportSession::plan() {
  // One listing of each destination folder for the whole plan: the
  // presence checks keep the folders they list and the stale walk reads
  // them from there. The plan writes nothing, and its listings go with it.
  auto fm = files();
  fm->shareListings(std::make_shared<platform::FolderListings>());
  if (auto read = loadRecord(); !read) return read.error();
  limits_ = platform::driveLimitsOf(root_);
  session::DriveView view = driveView();
  view.walkFollows = plan_.cleanUp;
  // The sources looked at while loading answer for the first plan only.
  observed_ = session::observe(snapshot_, musicRoot_, *fm, view,
                               sourcesAtLoad_.empty() ? nullptr : &sourcesAtLoad_);
  sourcesAtLoad_ = {};
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
  plan_.capacity = capacityBytes(root_);
  plan_.bytesOnDrive = bytesOnDrive();
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
  plan_.toRename.clear();
  for (const auto& p : pendingRenames_) plan_.toRename.push_back(p.from);
  plan_.missingSources.clear();
  for (uint32_t copy : sized.copies) {
    const LibraryTrack& t = *snapshotLibraryTrack_[copy];
    if (!t.onThisComputer() || !observed_.sourceFound[copy])
      plan_.missingSources.emplace_back(t.location);
  }
  plan_.tracksToCopy = sized.copies.size() - plan_.missingSources.size();
  // The playlist files as they will read once the copies are done: those
  // that would read as they do now are not written again.
  {
    std::vector<uint8_t> present = observed_.onDrive;
    for (uint32_t copy : sized.copies)
      present[copy] = snapshotLibraryTrack_[copy]->onThisComputer() && observed_.sourceFound[copy];
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
      std::string text = playlistTextOf(file, present, nullptr, nullptr);
      auto now = fm->readSmallFile(path, text.size(), nullptr);
      plannedSame_[i] = now && *now == text;
      plannedStamp_[i] = *stamp;
      ++(plannedSame_[i] ? plan_.playlistFilesUnchanged : plan_.playlistFilesToWrite);
    }
    plannedPresent_ = std::move(present);
  }
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

Outcome<Done> ExportSession::loadRecord() {
  auto loaded = platform::DriveRecord::load(*destination_, &DestinationLayout::collisionKey);
  if (!loaded) {
    return fail(
        ExportError::Kind::kUsage,
        "The drive's record of the exporter's files cannot be read: " + loaded.status().message());
  }
  driveRecord_ = std::move(*loaded);
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
  return {&driveRecord_, library_.libraryPersistentId, session::timeStepOf(root_), &damaged_};
}

Outcome<uint64_t> ExportSession::bytesToCopy(bool lookAgain) {
  auto fm = files();
  session::Choice choice = chosen();
  if (!lookAgain && observed_.onDrive.size() == snapshot_.tracks.size())
    return session::makePlan(snapshot_, observed_, choice).bytesToCopy;
  if (auto read = loadRecord(); !read) return read.error();
  return session::makePlan(snapshot_, session::observe(snapshot_, musicRoot_, *fm, driveView()),
                           choice)
      .bytesToCopy;
}

// Each copy this run named is read back from the drive (its batch was
// flushed before it was named, so dropping its cached pages makes the read
// come from the device) and compared with the checksum the copier took of
// what it wrote. A copy the drive returns otherwise is removed, forgotten
// by the record and reported; its track is not on the drive.
ExportSession::VerifyCounts ExportSession::verifyCopies(session::CopyReport& run,
                                                        platform::FileManager& fm,
                                                        platform::DriveRecord& writer) {
  VerifyCounts counts;
  auto loaded = platform::DriveRecord::load(*destination_, &DestinationLayout::collisionKey);
  const std::string musicPrefix = std::string(DestinationLayout::kMusicFolder) + "/";
  std::vector<uint32_t> kept;
  std::vector<std::string> removed;
  for (uint32_t track : run.placed) {
    std::string relative = musicPrefix + snapshot_.tracks[track].destination;
    std::string key = DestinationLayout::collisionKey(relative);
    const platform::RecordEntry* e = nullptr;
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
    platform::FileError error;
    auto sum = fm.readBackChecksum(path, &error);
    if (sum && *sum == *e->checksum) {
      ++counts.verified;
      kept.push_back(track);
      continue;
    }
    if (sum) error = {kDriveReturnedOtherData, "", path};
    fm.removeItemBelowRoot(*destination_, path, platform::RemoveKind::kFile, nullptr);
    removed.push_back(key);
    run.bytesPlaced -= std::min(run.bytesPlaced, e->drive.size);
    run.failures.push_back({track, error});
  }
  if (!removed.empty()) (void)writer.remove(removed, true);
  run.placed = std::move(kept);
  return counts;
}

std::string ExportSession::failureReason(const LibraryTrack& t, bool stopped) const {
  std::string source(t.localPath());
  if (!t.onThisComputer())
    return "the file is not on this computer (" + std::string(t.location) + ")";
  if (stopped) return "the export was interrupted";
  if (access(source.c_str(), F_OK) != 0) {
    return errno == ENAMETOOLONG ? sourcePathTooLong(source)
                                 : "the source file is missing (" + source + ")";
  }
  if (access(source.c_str(), R_OK) != 0) return "the source file cannot be read (" + source + ")";
  return "it is not on the drive after the copy";
}

Outcome<CopyOutcome> ExportSession::copy(const std::function<void(const CopyProgress&)>& onProgress,
                                         const std::atomic<bool>* stop) {
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
  std::shared_ptr<platform::ProgressIndicator> tile;
  if (services_.progressTile) tile = services_.progressTile();
  if (tile) {
    tile->setMinValue(0);
    tile->setMaxValue(static_cast<double>(sized.bytesToCopy));
    tile->setDoubleValue(0);
  }
  // Every copy is recorded before it is named; tracks an older record
  // names, with their source's size and time, are taken over first.
  auto writer = platform::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  if (!writer) {
    return fail(writer.status().code() == EWOULDBLOCK ? ExportError::Kind::kBusy
                                                      : ExportError::Kind::kFailed,
                "The export cannot record its files on the drive: " + writer.status().message());
  }
  const std::string musicPrefix = std::string(DestinationLayout::kMusicFolder) + "/";
  // A drive written before folders were recorded: the folders its
  // recorded files lie in are the exporter's, recorded now, before this
  // run's own folders make the record's folders the only ones it knows.
  if (std::none_of(driveRecord_.entries.begin(), driveRecord_.entries.end(),
                   [](const auto& e) { return e.second.kind == platform::EntryKind::kFolder; })) {
    std::set<std::string> holding;
    auto lookups = files();
    for (const auto& [key, e] : driveRecord_.entries) {
      for (size_t slash = e.path.rfind('/'); slash != std::string::npos && slash > 0;
           slash = e.path.rfind('/', slash - 1)) {
        if (!holding.insert(e.path.substr(0, slash)).second) break;
      }
    }
    std::vector<platform::RecordEntry> folders;
    for (const auto& relative : holding) {
      auto at = lookups->attributesOfItemAtPath(root_ + "/" + relative, nullptr);
      if (!at || at->type != platform::FileType::kDirectory) continue;
      if (auto e = platform::folderEntry(*destination_, root_ + "/" + relative,
                                         &DestinationLayout::collisionKey))
        folders.push_back(std::move(*e));
    }
    platform::Status s = folders.empty() ? platform::Status() : (*writer)->append(folders, true);
    if (!s.ok()) {
      return fail(ExportError::Kind::kFailed,
                  "The export cannot record its files on the drive: " + s.message());
    }
  }
  if (!observed_.adopted.empty()) {
    std::vector<platform::RecordEntry> adopted;
    for (uint32_t track : observed_.adopted) {
      const session::SnapshotTrack& t = snapshot_.tracks[track];
      platform::RecordEntry e;
      e.path = musicPrefix + t.destination;
      e.key = DestinationLayout::collisionKey(e.path);
      e.trackId = t.id;
      e.libraryId = library_.libraryPersistentId;
      e.source = {observed_.sourceBytes[track], observed_.sourceTimeNs[track]};
      e.drive = observed_.driveStamp[track];
      adopted.push_back(std::move(e));
    }
    if (platform::Status s = (*writer)->append(adopted, true); !s.ok()) {
      return fail(ExportError::Kind::kFailed,
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
      return fail(ExportError::Kind::kFailed, "The export cannot record its files on the drive: " +
                                                  std::string(std::strerror(e)) + ".");
    }
    if (platform::Status s = (*writer)->remove(released, true); !s.ok()) {
      return fail(ExportError::Kind::kFailed,
                  "The export cannot record its files on the drive: " + s.message());
    }
    for (const auto& key : released) driveRecord_.entries.erase(key);
  }
  session::CopyTarget target{destination_, musicRoot_, sized.bytesToCopy};
  target.record = writer->get();
  target.recordPrefix = musicPrefix;
  target.libraryId = library_.libraryPersistentId;
  auto fm = files();
  session::CopyReport run = session::runCopies(
      snapshot_, sized.copies, observed_, target, *fm, stop, [&](const session::CopyEvent& e) {
        if (tile) tile->setDoubleValue(static_cast<double>(e.done));
        if (onProgress) onProgress({e.done, e.total, true});
      });
  if (tile) tile->setHidden(true);
  if (o_.verify && !run.placed.empty()) {
    VerifyCounts counts = verifyCopies(run, *fm, **writer);
    outcome.verified = counts.verified;
    outcome.unverified = counts.unverified;
  }
  outcome.bytesCopied = run.bytesPlaced;
  // The record only grows as files are written and removed: rewritten
  // whole once it holds far more lines than entries.
  if (driveRecord_.lines > 4 * driveRecord_.entries.size() + 1024) (void)(*writer)->compact();
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
    if (damaged_.size() != before) (void)writeDamageNote(root_, damaged_);
  }
  std::unordered_set<uint32_t> placed(run.placed.begin(), run.placed.end());
  std::unordered_map<uint32_t, const platform::FileError*> reasons;
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
        if (placed.count(track)) outcome.copied.push_back(std::move(destination));
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

size_t ExportSession::covers(const std::atomic<bool>* stop, std::vector<CoverFailure>* failed) {
  auto fm = files();
  static const char* kCandidates[] = {"folder.jpg", "Folder.jpg", "FOLDER.JPG", "cover.jpg",
                                      "Cover.jpg",  "COVER.JPG",  "front.jpg",  "Front.jpg",
                                      "album.jpg",  "Album.jpg"};
  std::unordered_set<std::string> done;
  size_t written = 0;
  // Flushed together, as the tracks are: one flush per album is slow.
  // Written below the drive's root and recorded as the exporter's.
  // Each cover is in the drive's record by identity, written before it is
  // named, so that one the user puts at its name later is theirs.
  platform::CopyBatchOptions options{destination_, stop};
  auto writer = platform::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  if (writer) {
    options.checksum = true;
    options.beforeNaming = [&](const std::vector<platform::CopyBatchOptions::Staged>& files,
                               bool flush) {
      std::vector<platform::RecordEntry> entries;
      for (const auto& file : files) {
        if (file.folder) {
          if (auto e =
                  platform::folderEntry(*destination_, file.to, &DestinationLayout::collisionKey))
            entries.push_back(std::move(*e));
          continue;
        }
        if (auto e = entryOfStaged(*destination_, file, platform::EntryKind::kCover))
          entries.push_back(std::move(*e));
      }
      platform::Status written = (*writer)->append(entries, flush);
      return written.ok() ? 0 : (written.code() != 0 ? written.code() : EIO);
    };
  }
  auto batch = fm->makeCopyBatch(options);
  std::vector<std::string> pending;  // the batch's images, in order
  auto fail = [&](const std::string& path, const platform::FileError& why) {
    if (failed) failed->push_back({path, describeCopyFailure(why, "")});
  };
  auto commit = [&] {
    std::vector<platform::FileError> errors;
    std::vector<bool> named = batch->commit(&errors);
    for (size_t i = 0; i < named.size() && i < pending.size(); ++i) {
      written += named[i];
      if (!named[i]) fail(pending[i], i < errors.size() ? errors[i] : platform::FileError{EIO});
    }
    pending.clear();
  };
  // Each album folder of the tracks exported (and of those the drive
  // keeps for playlists not chosen) that the copies made or found, and
  // that holds no cover yet, gets the first image its source folder has.
  // Each track once, folder by folder as the copies went.
  std::vector<uint32_t> tracks;
  std::vector<uint8_t> taken(snapshot_.tracks.size());
  if (target_.listed.size() != snapshot_.tracks.size()) return 0;
  for (const auto& file : target_.files) {
    for (uint32_t track : file.entries) {
      if (!std::exchange(taken[track], 1)) tracks.push_back(track);
    }
  }
  std::sort(tracks.begin(), tracks.end(), [&](uint32_t a, uint32_t b) {
    return snapshot_.tracks[a].destination < snapshot_.tracks[b].destination;
  });
  for (uint32_t i : tracks) {
    if (stop && stop->load()) break;
    const session::SnapshotTrack& t = snapshot_.tracks[i];
    if (t.destination.empty() || t.source.empty() || leavesRoot(t.destination)) continue;
    std::string folder = fs::path(musicRoot_ + "/" + t.destination).parent_path().string();
    std::string target = folder + "/" + DestinationLayout::kArtFileName;
    if (!done.insert(target).second) continue;
    // One listing of the source folder answers for every candidate name;
    // the drive is looked at only for a folder that has an image (most
    // have none: their art is in the tracks).
    std::string sourceFolder = fs::path(t.source).parent_path().string();
    auto entries = fm->contentsOfDirectoryAtPath(sourceFolder, nullptr);
    if (!entries) continue;
    std::unordered_set<std::string_view> present;
    for (const auto& entry : *entries) {
      if (entry.type == platform::FileType::kRegular) present.insert(entry.name);
    }
    auto image = std::find_if(std::begin(kCandidates), std::end(kCandidates),
                              [&](const char* name) { return present.count(name) != 0; });
    if (image == std::end(kCandidates)) continue;
    bool isDirectory = false;
    if (!fm->fileExistsAtPath(folder, &isDirectory) || !isDirectory)
      continue;                                                // nothing was copied there
    if (fm->fileExistsAtPath(target, &isDirectory)) continue;  // the folder has its cover
    platform::FileError why;
    if (!batch->addCopy((fs::path(sourceFolder) / *image).string(), target, &why)) {
      fail(target, why);
      continue;
    }
    pending.push_back(target);
    if (batch->pendingCount() >= 64) commit();
  }
  commit();
  return written;
}

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
  std::vector<platform::FileManager::TextFile> files;
  size_t pendingBytes = 0;
  // Each file goes into the drive's record by identity before it is
  // named: a kill between the two must not leave a file of the exporter's
  // that the record does not know, which would read as the user's.
  auto writer = platform::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  const int64_t timeStep = session::timeStepOf(root_);
  auto recordFirst = [&](const std::vector<platform::CopyBatchOptions::Staged>& staged) {
    if (!writer) return writer.status().code() != 0 ? writer.status().code() : EIO;
    std::vector<platform::RecordEntry> named;
    for (const auto& file : staged) {
      auto entry = entryOfStaged(*destination_, file, platform::EntryKind::kPlaylist);
      if (!entry) continue;
      platform::RecordEntry& e = *entry;
      // The file it replaces, while that is the exporter's: should the
      // new one never be named, the old one is still known.
      auto known = driveRecord_.entries.find(e.key);
      std::optional<platform::FileStamp> old;
      if (known != driveRecord_.entries.end() &&
          known->second.kind != platform::EntryKind::kLegacy &&
          (old = plainFileStamp(*fm, file.to))) {
        if (asWritten(known->second, *old, timeStep)) e.source = *old;
      }
      named.push_back(std::move(e));
    }
    platform::Status s = (*writer)->append(named, true);
    return s.ok() ? 0 : (s.code() != 0 ? s.code() : EIO);
  };
  auto writePending = [&] {
    std::vector<platform::FileError> errors;
    std::vector<bool> inPlace =
        fm->writeStringsBelowRoot(*destination_, files, &errors, recordFirst);
    for (size_t i = 0; i < pending.size(); ++i) {
      std::string file = pending[i]->fileName + playlistExtension_;
      std::string relative = std::string(DestinationLayout::kPlaylistFolder) + "/" + file;
      if (!inPlace[i]) {
        platform::logFormat("playlist file not written: %@: %@", relative,
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
      text = playlistTextOf(file, observed_.onDrive, &outcome, &notEncodable);
    }
    auto now =
        asPlanned ? std::optional<std::string>() : fm->readSmallFile(path, text.size(), nullptr);
    if (asPlanned || (now && *now == text)) {
      outcome.unchanged.push_back(s.fileName + playlistExtension_);
      // Left as it reads; the record learns its stamp where a kill kept
      // the record from it (the entry went in, the new file never came).
      auto known = driveRecord_.entries.find(DestinationLayout::collisionKey(file.relative));
      std::optional<platform::FileStamp> now;
      if (known != driveRecord_.entries.end() &&
          known->second.kind == platform::EntryKind::kPlaylist &&
          (now = plainFileStamp(*fm, path))) {
        platform::FileStamp stamp = *now;
        if (!(known->second.drive == stamp) && asWritten(known->second, stamp, timeStep) &&
            writer) {
          platform::RecordEntry e = known->second;
          e.drive = stamp;
          e.source = {};
          (void)(*writer)->append({e}, true);
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
  std::vector<platform::FileManager::TextFile> trimmed;
  for (const auto& file : target_.files) {
    if (file.playlist != session::TargetFile::kKeptAsItIs) continue;
    bool windows1252 = file.relative.size() >= 4 &&
                       file.relative.compare(file.relative.size() - 4, 4, ".m3u") == 0;
    auto plays = [&](const std::string& entry) {
      return plainFileStamp(*fm, musicRoot_ + "/" + entry).has_value();
    };
    std::string text = session::withoutEntries(file.keptText, windows1252,
                                               DestinationLayout::kPlaylistFolder, root_, plays);
    if (text != file.keptText) trimmed.push_back({root_ + "/" + file.relative, std::move(text)});
  }
  if (!trimmed.empty()) {
    std::vector<platform::FileError> errors;
    std::vector<bool> inPlace =
        fm->writeStringsBelowRoot(*destination_, trimmed, &errors, recordFirst);
    for (size_t i = 0; i < trimmed.size(); ++i) {
      std::string name = fs::path(trimmed[i].path).filename().string();
      if (inPlace[i]) {
        outcome.trimmed.push_back(name);
      } else {
        outcome.notWritten.push_back({name, name, describeCopyFailure(errors[i], "")});
      }
    }
  }
  outcome.notEncodable.assign(notEncodable.begin(), notEncodable.end());
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
                                          std::set<std::string>* notEncodable) const {
  const std::string musicPrefix = std::string(DestinationLayout::kMusicFolder) + "/";
  std::vector<session::PlaylistLine> lines;
  std::vector<const LibraryTrack*> listed;
  if (counts) countLeftOut(file, present, counts);
  for (uint32_t track : file.entries) {
    if (!present[track]) continue;
    const LibraryTrack& t = *snapshotLibraryTrack_[track];
    lines.push_back({musicPrefix + snapshot_.tracks[track].destination,
                     DestinationLayout::durationText(t.totalTimeMs), std::string(t.artist),
                     std::string(t.name)});
    listed.push_back(&t);
  }
  std::vector<size_t> leftOut;
  std::string text =
      session::playlistText(lines, playlistFormat_, root_, playlistFolder_, &leftOut);
  if (notEncodable && playlistFormat_.windows1252) {
    for (size_t i : leftOut)
      notEncodable->insert(std::string(listed[i]->artist) + " - " + std::string(listed[i]->name));
  }
  return text;
}

// The target: the chosen playlists' files, written now, and (when some
// playlists are exported) every other playlist file of the exporter's,
// kept as it stands with the entries it has.
std::vector<std::pair<std::string, std::string>> ExportSession::keptPlaylistFiles(
    platform::FileManager& fm, const std::unordered_set<std::string>& writtenKeys) {
  std::vector<std::pair<std::string, std::string>> kept;
  keptUnreadable_.clear();
  const std::string folder = std::string(DestinationLayout::kPlaylistFolder) + "/";
  const int64_t timeStep = session::timeStepOf(root_);
  auto entries = fm.contentsOfDirectoryAtPath(playlistFolder_, nullptr);
  for (const auto& e : entries ? *entries : std::vector<platform::DirectoryEntry>()) {
    std::string_view n = e.name;
    bool playlist = (n.size() > 5 && n.substr(n.size() - 5) == ".m3u8") ||
                    (n.size() > 4 && n.substr(n.size() - 4) == ".m3u");
    std::string relative = folder + e.name;
    std::string key = DestinationLayout::collisionKey(relative);
    if (!playlist || e.type != platform::FileType::kRegular || writtenKeys.count(key)) continue;
    // The exporter's while as it wrote it; a file of the user's lists
    // what the user wants, which the exporter neither keeps nor removes.
    auto known = driveRecord_.entries.find(key);
    std::string path = playlistFolder_ + "/" + e.name;
    bool ours = false;
    if (known != driveRecord_.entries.end() && known->second.kind != platform::EntryKind::kLegacy) {
      auto now = fm.attributesOfItemAtPath(path, nullptr);
      ours = now && asWritten(known->second, {now->size, now->modificationTimeNs}, timeStep);
    } else {
      ours = known != driveRecord_.entries.end();  // an older list's path, not removed since
    }
    if (!ours) continue;
    platform::FileError error;
    auto text = fm.readSmallFile(path, kMaxPlaylistBytes, &error);
    if (!text) {
      if (keptUnreadable_.empty())
        keptUnreadable_ = "the playlist file " + path + " cannot be read (" +
                          error.localizedDescription + "), so what it lists is not known";
      continue;
    }
    kept.emplace_back(relative, std::move(*text));
  }
  return kept;
}

// The target: the chosen playlists' files, written now, and (when some
// playlists are exported) every other playlist file of the exporter's,
// kept as it stands with the entries it has. The tracks
// those kept files list that are not on the drive (a copy removed by a
// repair a kill cut short, or by hand) are copied again.
void ExportSession::makeTarget(platform::FileManager& fm) {
  std::vector<std::pair<std::string, uint32_t>> written;
  std::unordered_set<std::string> writtenKeys;
  const std::string folder = std::string(DestinationLayout::kPlaylistFolder) + "/";
  for (const auto& s : selected_) {
    written.emplace_back(folder + s.fileName + playlistExtension_,
                         snapshotPlaylist_.at(s.playlist->persistentId));
    writtenKeys.insert(DestinationLayout::collisionKey(written.back().first));
  }
  std::vector<std::pair<std::string, std::string>> kept;
  if (mode_ == Mode::kChosenPlaylists) {
    // The files read while loading answer for the first plan, as the
    // sources looked at then do; later plans read them again.
    if (!keptAtLoad_.empty()) {
      for (auto& file : keptAtLoad_)
        if (!writtenKeys.count(DestinationLayout::collisionKey(file.first)))
          kept.push_back(std::move(file));
      keptAtLoad_.clear();
    } else {
      kept = keptPlaylistFiles(fm, writtenKeys);
    }
  }
  target_ = session::targetOf(snapshot_, written, kept, !o_.allTracks, root_);
  keptOnly_.clear();
  if (kept.empty()) return;
  std::unordered_set<std::string> keptKeys;
  for (const auto& file : target_.files)
    for (const auto& entry : file.keptEntries) keptKeys.insert(session::walkKey(entry));
  for (uint32_t i = 0; i < snapshot_.tracks.size(); ++i) {
    // A file of the user's there (an edited copy) plays for the entry as
    // it is, and stays.
    if (!target_.listed[i] && observed_.at[i] != session::AtDestination::kOther &&
        keptKeys.count(session::walkKey(snapshot_.tracks[i].destination)))
      keptOnly_.push_back(i);
  }
}

// A track whose place holds a file that is not its copy goes beside it,
// under the first numbered name that is free on the drive and in the
// layout; the file there is left as it is.
void ExportSession::copyBeside(platform::FileManager& fm) {
  plan_.copiedBeside.clear();
  std::vector<uint32_t> moved;
  std::unordered_set<std::string> taken;  // collision keys below the music folder
  std::vector<uint8_t> chosenTrack(snapshot_.tracks.size());
  for (const auto& s : selected_) {
    for (uint32_t t : snapshot_.playlists[snapshotPlaylist_.at(s.playlist->persistentId)].items)
      chosenTrack[t] = 1;
  }
  for (size_t i = 0; i < snapshot_.tracks.size(); ++i) {
    const session::SnapshotTrack& t = snapshot_.tracks[i];
    if (!chosenTrack[i] || !session::listable(t, !o_.allTracks) ||
        observed_.at[i] != session::AtDestination::kOther || leavesRoot(t.destination))
      continue;
    if (taken.empty()) {
      for (const auto& other : snapshot_.tracks)
        taken.insert(DestinationLayout::collisionKey(other.destination));
    }
    std::string_view path = t.destination;
    size_t slash = path.rfind('/');
    std::string parent(slash == std::string_view::npos ? "" : path.substr(0, slash + 1));
    std::string leaf(path.substr(slash == std::string_view::npos ? 0 : slash + 1));
    // A name numbered already ("Song (2).mp3") counts on from its number.
    std::string base = leaf;
    int from = 2;
    size_t dot = leaf.rfind('.');
    std::string_view stem =
        std::string_view(leaf).substr(0, dot == std::string::npos ? leaf.size() : dot);
    if (size_t open = stem.rfind(" ("); open != std::string_view::npos && stem.back() == ')') {
      std::string_view digits = stem.substr(open + 2, stem.size() - open - 3);
      if (!digits.empty() && digits.size() < 6 &&
          std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        base = std::string(stem.substr(0, open)) + leaf.substr(stem.size());
        from = std::stoi(std::string(digits)) + 1;
      }
    }
    const std::string musicPrefix = std::string(DestinationLayout::kMusicFolder) + "/";
    std::string chosen;
    for (int n = from; chosen.empty() && n < from + 1000; ++n) {
      std::string candidate = parent + DestinationLayout::numbered(base, n);
      if (taken.count(DestinationLayout::collisionKey(candidate))) continue;
      auto recorded =
          driveRecord_.entries.find(DestinationLayout::collisionKey(musicPrefix + candidate));
      if (recorded != driveRecord_.entries.end() && recorded->second.trackId != t.id) continue;
      if (recorded == driveRecord_.entries.end() &&
          fm.fileExistsAtPath(musicRoot_ + "/" + candidate, nullptr))
        continue;
      chosen = std::move(candidate);
    }
    if (chosen.empty()) continue;  // the copy says what stands in the way
    taken.insert(DestinationLayout::collisionKey(chosen));
    plan_.copiedBeside.push_back({musicRoot_ + "/" + t.destination, musicRoot_ + "/" + chosen,
                                  observed_.changedCopy[i] != 0});
    snapshot_.tracks[i].destination = std::move(chosen);
    moved.push_back(static_cast<uint32_t>(i));
  }
  if (moved.empty()) return;
  // Their new places are looked at as the first look saw the others.
  session::Snapshot some;
  for (uint32_t i : moved) some.tracks.push_back(snapshot_.tracks[i]);
  session::Observed again = session::observe(some, musicRoot_, fm, driveView());
  for (size_t k = 0; k < moved.size(); ++k) {
    uint32_t i = moved[k];
    observed_.onDrive[i] = again.onDrive[k];
    observed_.at[i] = again.at[k];
    observed_.driveStamp[i] = again.driveStamp[k];
    observed_.changedCopy[i] = again.changedCopy[k];
  }
  for (uint32_t adopted : again.adopted) observed_.adopted.push_back(moved[adopted]);
}

void ExportSession::loadIntents() {
  intents_ = destination_->intents();
  for (const auto& line : platform::DestinationRoot::open(musicRoot_)->intents()) {
    // The bridge's, written in the tracks' own root: its paths below it.
    if (line.compare(0, 6, "aside ") == 0)
      intents_.insert("aside " + std::string(DestinationLayout::kMusicFolder) + "/" +
                      line.substr(6));
    else
      intents_.insert(line);
  }
}

bool ExportSession::temporaryIsOurs(const std::string& path) const {
  std::string name = fs::path(path).filename().string();
  if (platform::FileManager::isPartialCopyName(name)) {
    std::string token(platform::DestinationRoot::tokenOf(name));
    return !token.empty() &&
           (token == platform::DestinationRoot::runToken() || intents_.count("run " + token));
  }
  if (!platform::isAsideName(name)) return false;
  auto relative = destination_->relativePath(path);
  if (!relative) return false;
  std::string original = fs::path(*relative).parent_path().string();
  original += (original.empty() ? "" : "/") + name.substr(platform::kAsidePrefix.size());
  return intents_.count("aside " + original) != 0;
}

void ExportSession::renameTracks() {
  if (pendingRenames_.empty()) return;
  const std::string prefix = std::string(DestinationLayout::kMusicFolder) + "/";
  std::vector<session::DriveRename> renames;
  for (const auto& p : pendingRenames_) renames.push_back({prefix + p.from, prefix + p.to});
  auto writer = platform::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  std::string notDone = writer ? "" : writer.status().message();
  if (auto read = writer ? loadRecord() : Outcome<Done>(); !read) notDone = read.error().message();
  if (notDone.empty()) {
    session::renameRecorded(*destination_, **writer, driveRecord_, session::timeStepOf(root_),
                            renames);
    // A cover that cannot follow stays in the old folder, which then
    // stays too: nothing is lost, and the new folder gets its own cover.
    auto covers = session::coversFollowing(driveRecord_, renames);
    session::renameRecorded(*destination_, **writer, driveRecord_, session::timeStepOf(root_),
                            covers);
  }
  for (size_t i = 0; i < renames.size(); ++i) {
    const PendingRename& p = pendingRenames_[i];
    if (!renames[i].done) {
      renamed_.failed.push_back(renames[i].from + ": " +
                                (notDone.empty() ? renames[i].reason : notDone));
      continue;
    }
    renamed_.done.emplace_back(renames[i].from, renames[i].to);
    snapshot_.tracks[p.track].destination = p.to;
  }
  pendingRenames_.clear();
}

void ExportSession::findUnplayable(const session::Plan& sized) {
  plan_.unplayable.clear();
  std::set<std::string> playable;
  for (const auto& f : o_.playableFormats) {
    std::string lower = f.substr(f[0] == '.' ? 1 : 0);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    playable.insert(lower);
  }
  // The tracks are judged in their own order, which reads them one after
  // another (the playlists' order jumps about), and then told in the
  // playlists' order. A track's reason: none (0), or 1 + its place in
  // `reasons`.
  std::vector<uint8_t> listed(snapshot_.tracks.size());
  for (const auto& figures : sized.playlists) {
    for (uint32_t track : snapshot_.playlists[figures.playlist].items) listed[track] = 1;
  }
  std::vector<std::string> reasons;
  std::vector<uint32_t> reasonOf(snapshot_.tracks.size());
  // The reason goes by the extension alone, and an album's tracks share
  // theirs: it is worked out again only when the extension changes.
  std::string lastExt;
  uint32_t lastReason = 0;
  bool known = false;
  for (size_t track = 0; track < snapshot_.tracks.size(); ++track) {
    const session::SnapshotTrack& st = snapshot_.tracks[track];
    if (!listed[track] || (!st.enabled && !o_.allTracks)) continue;
    // The extension of the file's name: after its last dot, unless the
    // name is all extension (".m4a" has none, as a path's would).
    std::string_view name = st.destination;
    name.remove_prefix(std::min(name.size(), name.rfind('/') + 1));
    size_t dot = name.rfind('.');
    std::string ext(dot == std::string_view::npos || dot == 0 ? std::string_view()
                                                              : name.substr(dot + 1));
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!known || ext != lastExt) {
      known = true;
      lastExt = ext;
      std::string reason;
      if (ext == "m4p") {
        reason = "protected (.m4p): no player outside Apple's plays it";
      } else if (!playable.count(ext)) {
        reason =
            (ext.empty() ? std::string("its file has no extension") : "its format (." + ext + ")") +
            " is not one the drive plays (--formats)";
      }
      lastReason = 0;
      if (!reason.empty()) {
        reasons.push_back(std::move(reason));
        lastReason = static_cast<uint32_t>(reasons.size());
      }
    }
    reasonOf[track] = lastReason;
  }
  if (reasons.empty()) return;
  std::vector<uint8_t> seen(snapshot_.tracks.size());
  for (const auto& figures : sized.playlists) {
    for (uint32_t track : snapshot_.playlists[figures.playlist].items) {
      if (seen[track] || reasonOf[track] == 0) continue;
      seen[track] = 1;
      const LibraryTrack& t = *snapshotLibraryTrack_[track];
      plan_.unplayable.push_back({std::string(t.name), std::string(t.artist),
                                  std::string(t.location), reasons[reasonOf[track] - 1]});
    }
  }
}

bool ExportSession::holdListed(platform::FileManager& fm, const std::string& path) {
  platform::FileError why;
  auto text = fm.readSmallFile(path, kMaxPlaylistBytes, &why);
  // Gone is fine; one that stays unread may list anything.
  if (!text) return why.code == ENOENT;
  bool windows1252 = path.size() >= 4 && path.compare(path.size() - 4, 4, ".m3u") == 0;
  for (const auto& entry :
       session::musicEntriesOf(*text, windows1252, DestinationLayout::kPlaylistFolder, root_))
    stillListed_.insert(session::walkKey(entry));
  return true;
}

CleanOutcome ExportSession::clean(bool remove, const std::atomic<bool>* stop) {
  CleanOutcome outcome;
  outcome.attempted = remove;
  if (!remove) {
    for (const auto& item : plan_.stale) outcome.items.push_back({item, false, !item.ours, ""});
    return outcome;
  }
  // Files one by one, then a folder only once it is empty: a folder is
  // never removed with what it holds.
  auto fm = files();
  const int64_t timeStep = session::timeStepOf(root_);
  const std::string musicPrefix = musicRoot_ + "/";
  // The record forgets what is gone batch by batch, flushed, so that a
  // file of the user's that later takes one of those names is never
  // taken for the exporter's, and a kill part-way leaves a record that
  // names what is still there.
  auto writer = platform::DriveRecord::open(destination_, &DestinationLayout::collisionKey);
  std::vector<std::string> deleted, deletedFolders;
  const std::string musicPrefixBelowRoot = std::string(DestinationLayout::kMusicFolder) + "/";
  auto settle = [&] {
    if (deleted.empty() && deletedFolders.empty()) return;
    if (!deleted.empty()) {
      destination_->forget(deleted);
      // The bridge's copies are listed in the tracks' own root.
      std::vector<std::string> belowMusic;
      for (const auto& relative : deleted) {
        if (relative.compare(0, musicPrefixBelowRoot.size(), musicPrefixBelowRoot) == 0)
          belowMusic.push_back(relative.substr(musicPrefixBelowRoot.size()));
      }
      if (!belowMusic.empty()) platform::DestinationRoot::open(musicRoot_)->forget(belowMusic);
    }
    std::vector<std::string> keys;
    for (const auto& relative : deleted) keys.push_back(DestinationLayout::collisionKey(relative));
    for (const auto& relative : deletedFolders)
      keys.push_back(DestinationLayout::collisionKey(relative));
    if (writer) (void)(*writer)->remove(keys, true);
    deleted.clear();
    deletedFolders.clear();
  };
  constexpr size_t kSettleEvery = 64;
  // Whether a file is still what the exporter wrote, judged now, at the
  // moment of its removal: its size and time as recorded, and where the
  // record holds a checksum, its content (a file rewritten with its old
  // size and time restored is not the exporter's). Empty: it is.
  std::optional<platform::FileError> unreadable;  // why notOurs could not read its file
  auto notOurs = [&](const std::string& path, const platform::FileAttributes& now) -> std::string {
    if (now.type != platform::FileType::kRegular) return "it is no longer a plain file";
    auto relative = destination_->relativePath(path);
    if (!relative) return "it is not below the destination";
    auto known = driveRecord_.entries.find(DestinationLayout::collisionKey(*relative));
    if (known == driveRecord_.entries.end() || known->second.kind == platform::EntryKind::kLegacy)
      return record_.count(*relative) != 0 ? "" : "the exporter's record does not name it";
    if (!asWritten(known->second, {now.size, now.modificationTimeNs}, timeStep))
      return "it changed since the exporter wrote it";
    if (known->second.checksum) {
      platform::FileError why;
      auto sum = fm->readBackChecksum(path, &why);
      if (!sum) {
        unreadable = why;
        return "it could not be read";
      }
      if (*sum != *known->second.checksum)
        return "its content differs from what the exporter wrote";
    }
    return "";
  };
  // A file of the exporter's changed since is the user's now: the record
  // stops naming it (so that a check no longer counts it among the
  // exporter's), and it stays where it is.
  auto release = [&](const std::string& path) {
    if (auto relative = destination_->relativePath(path)) deleted.push_back(*relative);
  };
  std::string unreadList;  // a playlist file left on the drive that could not be read
  for (const auto& item : plan_.stale) {
    CleanItem done{item, false, !item.ours, ""};
    if (item.changed && !item.ours && !item.folder) release(item.path);
    if (item.ours && !item.playlistFile && !unreadList.empty()) {
      done.reason = "not deleted: " + unreadList +
                    ", which stays on the drive, could not be read to tell whether it lists it";
      ++outcome.notDeleted;
      outcome.items.push_back(std::move(done));
      continue;
    }
    if (item.ours && !item.playlistFile && !stillListed_.empty() &&
        item.path.compare(0, musicPrefix.size(), musicPrefix) == 0 &&
        stillListed_.count(session::walkKey(item.path.substr(musicPrefix.size())))) {
      // A playlist file that could not be replaced or removed, or that is
      // the user's now, still lists it.
      done.kept = true;
      done.reason = "a playlist file still on the drive lists it";
      outcome.items.push_back(std::move(done));
      continue;
    }
    if (item.ours && !outcome.stopped && stop != nullptr && stop->load()) outcome.stopped = true;
    if (item.ours && outcome.stopped) {
      done.reason = "the clean-up was stopped before it";
      done.notReached = true;
    } else if (item.ours) {
      platform::FileError error;
      if (item.folder) {
        // The cover image the exporter put there goes with its folder
        // while it is as written; a cover of the user's keeps the folder.
        std::string art = item.path + "/" + DestinationLayout::kArtFileName;
        auto cover = fm->attributesOfItemAtPath(art, nullptr);
        if (cover && cover->type == platform::FileType::kRegular &&
            (o_.cleanAll || notOurs(art, *cover).empty()) &&
            fm->removeItemBelowRoot(*destination_, art, platform::RemoveKind::kFile, nullptr)) {
          if (auto relative = destination_->relativePath(art)) deleted.push_back(*relative);
        }
        done.deleted = fm->removeItemBelowRoot(*destination_, item.path,
                                               platform::RemoveKind::kEmptyFolder, &error);
        if (done.deleted) {
          if (auto relative = destination_->relativePath(item.path))
            deletedFolders.push_back(*relative);
        }
      } else {
        // Looked at again now: the plan's judgement may be minutes old.
        auto now = fm->attributesOfItemAtPath(item.path, &error);
        std::string changed;
        if (now && (now->size != item.bytes || now->modificationTimeNs != item.seenTimeNs)) {
          changed = "it changed after the plan was made";
        } else if (now && !o_.cleanAll && !item.partial) {
          changed = notOurs(item.path, *now);
        }
        if (!now && error.code == ENOENT) {
          done.deleted = true;  // gone already: only the record is told
        } else if (now && changed.empty()) {
          done.deleted = fm->removeItemBelowRoot(*destination_, item.path,
                                                 platform::RemoveKind::kFile, &error);
        } else if (now && unreadable) {
          // Still the exporter's, for the next export to judge.
          error = *std::exchange(unreadable, std::nullopt);
        } else if (now) {
          done.kept = true;
          done.reason = changed + ": kept";
          release(item.path);
        }
        if (done.deleted) {
          if (auto relative = destination_->relativePath(item.path)) deleted.push_back(*relative);
        }
      }
      outcome.deleted += done.deleted;
      if (!done.deleted && item.folder && error.code == ENOTEMPTY) {
        // Something not the exporter's (a cover image of the user's, a
        // file put there since) keeps its folder.
        done.kept = true;
        done.reason = "it holds files not written by the exporter";
      } else if (!done.deleted && !done.kept) {
        done.reason = describeCopyFailure(error, "");
        ++outcome.notDeleted;
      }
    }
    // Stale playlist files come first: what one that stays lists stays
    // too, so that no file left on the drive lists a track deleted here.
    if (item.playlistFile && !done.deleted && !holdListed(*fm, item.path)) unreadList = item.path;
    outcome.items.push_back(std::move(done));
    if (deleted.size() + deletedFolders.size() >= kSettleEvery) settle();
  }
  // What the record names that no playlist file needs and that is gone
  // (removed by hand, or by a clean-up killed before it told the record)
  // is forgotten, so that a check finds nothing missing.
  if (!outcome.stopped) {
    const std::string music = std::string(DestinationLayout::kMusicFolder) + "/";
    std::unordered_set<std::string> files;
    for (const auto& file : target_.files)
      files.insert(DestinationLayout::collisionKey(file.relative));
    for (const auto& [key, e] : driveRecord_.entries) {
      bool underMusic = e.path.compare(0, music.size(), music) == 0;
      if (underMusic ? e.kind != platform::EntryKind::kFolder &&
                           target_.needed.count(session::walkKey(e.path.substr(music.size())))
                     : files.count(key) != 0)
        continue;
      platform::FileError error;
      if (!fm->attributesOfItemAtPath(root_ + "/" + e.path, &error) && error.code == ENOENT)
        (e.kind == platform::EntryKind::kFolder ? deletedFolders : deleted).push_back(e.path);
    }
  }
  settle();
  return outcome;
}

}  // namespace app
