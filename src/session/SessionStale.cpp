
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <string_view>
#include <unordered_set>

#include "fs/DriveRecord.h"
#include "fs/FileManager.h"
#include "fs/ReplaceFile.h"
#include "session/CopyRun.h"
#include "session/DestinationLayout.h"
#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "session/ExportSessionParts.h"
#include "session/StaleWalk.h"

namespace app {

using namespace detail;
namespace stdfs = std::filesystem;

std::vector<std::string> ExportSession::stalePlaylistFiles() const {
  std::vector<std::string> stale;
  std::set<std::string> written;
  for (const auto& s : selected_) written.insert(s.fileName + playlistExtension_);
  auto fm = files();
  // An export of some playlists keeps the others' files in the folder.
  auto entries = mode_ == Mode::kAllPlaylists
                     ? fm->contentsOfDirectoryAtPath(playlistFolder_, nullptr)
                     : std::optional<std::vector<fs::DirectoryEntry>>();
  for (const auto& e : entries ? *entries : std::vector<fs::DirectoryEntry>()) {
    const std::string& n = e.name;
    std::string_view ext = std::string_view(n).substr(std::min(n.rfind('.'), n.size()));
    // An ".m3u" file is stale only when the exporter wrote it (in another
    // format): the user's own, made by another program, is not this
    // exporter's business, not even for --clean-all.
    bool playlist = ext == ".m3u8" ||
                    (ext == ".m3u" && driveRecord_.entries.count(
                                          DestinationLayout::collisionKey(playlistRelative(n))));
    if (e.type == fs::FileType::kRegular && playlist && !written.count(n)) {
      stale.push_back(playlistFolder_ + "/" + n);
    }
  }
  // The exporter's files in the folder an earlier profile named, whatever
  // was chosen (the player no longer looks there): only those its record
  // holds, never the user's beside them. Those below the music folder are
  // the stale walk's to find.
  const std::string musicKey = DestinationLayout::collisionKey(musicPrefix_);
  for (const auto& relative : otherFolderPlaylists()) {
    if (DestinationLayout::collisionKey(relative).compare(0, musicKey.size(), musicKey) == 0)
      continue;
    auto at = fm->attributesOfItemAtPath(root_ + "/" + relative, nullptr);
    if (at && at->type == fs::FileType::kRegular) stale.push_back(root_ + "/" + relative);
  }
  return stale;
}

// The stale list, each item judged: the exporter's own (in its record, or
// an unfinished copy) or the user's. A folder counts as the exporter's
// when nothing the user's stays in it.
void ExportSession::findStale(const std::shared_ptr<fs::FileManager>& fm) {
  plan_.stale.clear();
  plan_.staleBytes = 0;
  // Needed: every path a playlist file the exporter keeps lists, or will
  // list once this export is done.
  const base::TextSet& needed = target_.needed;
  loadIntents();
  auto list =
      session::walkStale(*fm, musicRoot_, needed, player_.coverName.value, &destinationKeys_).paths;
  auto playlists = stalePlaylistFiles();
  // A playlist folder inside the music folder: its files are judged once,
  // as playlist files.
  if (!playlists.empty()) {
    // Compared as the drive compares names: the profile may spell the
    // folder in another case than the drive does.
    std::unordered_set<std::string> listed;
    for (const auto& p : playlists) listed.insert(DestinationLayout::collisionKey(p));
    std::erase_if(list, [&](const std::string& p) {
      return listed.count(DestinationLayout::collisionKey(p)) != 0;
    });
  }
  // Paths the older lists name (the drive's own, and the one copies made
  // through the script bridge keep in the tracks' own root), less those
  // the record has seen removed since: a file at such a name now is not
  // the one the exporter wrote.
  fs::PathSet& record = record_;
  auto musicRecord = fs::DestinationRoot::open(bridgeRoot());
  // A path a live entry has is not removed (a line after a removal takes
  // it back): only the others need a key made, and none when nothing is.
  std::unordered_set<std::string_view> live;
  if (!driveRecord_.removed.empty()) {
    for (const auto& [key, e] : driveRecord_.entries) live.insert(e.path);
  }
  auto removed = [&](const std::string& path) {
    return !driveRecord_.removed.empty() && !live.count(path) &&
           driveRecord_.removed.count(DestinationLayout::collisionKey(path));
  };
  // Most drives have seen nothing removed: the list is then taken whole.
  record = destination_->readRecord();
  if (!driveRecord_.removed.empty()) std::erase_if(record, removed);
  for (const auto& p : musicRecord->readRecord()) {
    std::string path = std::string(DestinationLayout::kMusicFolder) + "/" + p;
    if (!removed(path)) record.insert(std::move(path));
  }
  std::unordered_set<std::string> keptFolders;  // folders that keep something of the user's
  const int64_t timeStep = fs::timeStepOf(root_);
  // Folders (relative to the root) that hold, or held, a file the
  // exporter recorded: the only folders it ever makes.
  std::unordered_set<std::string> ourFolders;
  auto holdsOurs = [&](const std::string& file) {
    for (size_t slash = file.rfind('/'); slash != std::string::npos && slash > 0;
         slash = file.rfind('/', slash - 1)) {
      if (!ourFolders.insert(file.substr(0, slash)).second) break;
    }
  };
  // The folders the exporter makes are recorded as it makes them; a
  // drive written before that goes by the files recorded in a folder
  // (until the next copy records those folders), and so do the folders
  // of the script bridge's copies, which record paths only.
  const bool foldersRecorded =
      std::any_of(driveRecord_.entries.begin(), driveRecord_.entries.end(),
                  [](const auto& entry) { return entry.second.kind == fs::EntryKind::kFolder; });
  std::unordered_set<std::string> bridgeFolders;
  if (foldersRecorded) {
    std::swap(bridgeFolders, ourFolders);
    for (const auto& p : musicRecord->readRecord())
      holdsOurs(std::string(DestinationLayout::kMusicFolder) + "/" + p);
    std::swap(bridgeFolders, ourFolders);
  } else {
    for (const auto& path : record) holdsOurs(path);
    for (const auto& [key, e] : driveRecord_.entries) holdsOurs(e.path);
  }
  auto folderIsOurs = [&](const std::string& relative) {
    if (!foldersRecorded) return ourFolders.count(relative) != 0;
    auto known = driveRecord_.entries.find(DestinationLayout::collisionKey(relative));
    return (known != driveRecord_.entries.end() && known->second.kind == fs::EntryKind::kFolder) ||
           bridgeFolders.count(relative) != 0;
  };
  auto keep = [&](const std::string& path) {
    for (std::string folder = stdfs::path(path).parent_path().string();
         folder.size() > root_.size(); folder = stdfs::path(folder).parent_path().string()) {
      if (!keptFolders.insert(folder).second) break;
    }
  };
  auto judge = [&](const std::string& path, bool playlistFile) {
    StaleItem item;
    auto attributes = fm->attributesOfItemAtPath(path, nullptr);
    if (attributes && attributes->type == fs::FileType::kDirectory) {
      item.path = path;
      item.playlistFile = playlistFile;
      item.folder = true;
      // The exporter makes folders only to hold its files: a folder no
      // recorded file lies in (one a user made, "To sort later/2024") is
      // theirs, even empty.
      auto relative = destination_->relativePath(path);
      item.written = relative && folderIsOurs(*relative) && keptFolders.count(path) == 0;
    } else {
      item = judgeFile(path, playlistFile, attributes, timeStep);
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
  for (const auto& p : elsewhereStale(*fm)) judge(p, false);
}

// What the exporter wrote in folders an earlier profile named for the
// music (by its record: nothing of the user's is ever looked for there),
// that no copy moves from and no playlist file kept as it stands lists:
// files first, then their folders, deepest first, while nothing the user
// put there keeps them.
std::vector<std::string> ExportSession::elsewhereStale(fs::FileManager& fm) const {
  const std::string musicKey = DestinationLayout::collisionKey(musicPrefix_);
  // Folders that hold what this export keeps: the music and playlist
  // folders and those above them.
  std::unordered_set<std::string> holding;
  for (const std::string& folder : {musicPrefix_, playlistFolderBelowRoot_ + "/"}) {
    for (size_t slash = folder.find('/'); slash != std::string::npos && slash > 0;
         slash = folder.find('/', slash + 1))
      holding.insert(DestinationLayout::collisionKey(folder.substr(0, slash)));
  }
  std::unordered_set<std::string> moving;
  for (const auto& p : pendingRenames_)
    if (p.across) moving.insert(DestinationLayout::collisionKey(p.from));
  std::vector<std::string> files;
  std::vector<std::pair<size_t, std::string>> folders;  // by depth
  for (const auto& [key, e] : driveRecord_.entries) {
    // In the music folder (the key with a slash after it lies under the
    // folder's key, which ends with one): not elsewhere.
    if (std::string_view(key).starts_with(musicKey) || leavesRoot(e.path) || holding.count(key))
      continue;
    if (e.kind == fs::EntryKind::kFolder) {
      folders.emplace_back(std::count(e.path.begin(), e.path.end(), '/'), e.path);
    } else if ((e.kind == fs::EntryKind::kTrack || e.kind == fs::EntryKind::kCover) &&
               !moving.count(key) && !keptListed_.count(key)) {
      files.push_back(e.path);
    }
  }
  std::sort(files.begin(), files.end());
  std::sort(folders.begin(), folders.end(), std::greater<>());
  std::vector<std::string> out;
  for (const auto& relative : files) {
    auto at = fm.attributesOfItemAtPath(root_ + "/" + relative, nullptr);
    if (at && at->type == fs::FileType::kRegular) out.push_back(root_ + "/" + relative);
  }
  for (const auto& [depth, relative] : folders) {
    auto at = fm.attributesOfItemAtPath(root_ + "/" + relative, nullptr);
    if (at && at->type == fs::FileType::kDirectory) out.push_back(root_ + "/" + relative);
  }
  return out;
}

StaleItem ExportSession::judgeFile(const std::string& path, bool playlistFile,
                                   const std::optional<fs::FileAttributes>& attributes,
                                   int64_t timeStep) const {
  StaleItem item;
  item.path = path;
  item.playlistFile = playlistFile;
  if (attributes) {
    item.bytes = attributes->size;
    item.seenTimeNs = attributes->modificationTimeNs;
  }
  auto relative = destination_->relativePath(path);
  std::string name = stdfs::path(path).filename().string();
  item.partial = fs::FileManager::isPartialCopyName(name) || fs::isAsideName(name);
  item.written = item.partial && temporaryIsOurs(path);
  if (!item.written && relative) {
    // A file the record knows by identity is the exporter's only while
    // it is as the exporter wrote it: one a user put at that name since
    // is theirs. A path only the older record names goes by its name.
    auto known = driveRecord_.entries.find(DestinationLayout::collisionKey(*relative));
    if (known != driveRecord_.entries.end() && known->second.kind != fs::EntryKind::kLegacy) {
      item.written =
          attributes &&
          asWritten(known->second, {attributes->size, attributes->modificationTimeNs}, timeStep);
      // One that could not be looked at is kept as it is, still the
      // exporter's for the next export to judge.
      item.changed = attributes && !item.written;
    } else {
      // Named by an older list of paths alone (an older version's, or a
      // script's copy), with nothing to tell whether the file there is
      // still the one written: possibly the user's, kept unless asked.
      item.possiblyYours = record_.count(*relative) != 0;
    }
  }
  return item;
}

// Judged as findStale judges them, for the plan's playlists: each one's
// playlist file and the track files its file lists, where the exporter
// wrote them; and what is stale already, which goes whatever is ticked.
session::Removals ExportSession::removals() const {
  session::Removals out;
  if (!planned_ || !plan_.cleanUp || mode_ != Mode::kAllPlaylists) return out;
  out.cleanUp = true;
  for (const auto& item : plan_.stale) {
    if (item.written && !item.folder)
      out.files.push_back({item.path, item.bytes, limits_.onDisk(item.bytes), item.playlistFile});
  }
  auto fm = files();
  const int64_t timeStep = fs::timeStepOf(root_);
  constexpr uint32_t kNotOurs = UINT32_MAX;
  auto judged = [&](const std::string& path, bool playlistFile) {
    auto attributes = fm->attributesOfItemAtPath(path, nullptr);
    if (!attributes || attributes->type != fs::FileType::kRegular) return kNotOurs;
    StaleItem item = judgeFile(path, playlistFile, attributes, timeStep);
    if (!item.written) return kNotOurs;
    out.files.push_back({path, item.bytes, limits_.onDisk(item.bytes), playlistFile});
    return static_cast<uint32_t>(out.files.size() - 1);
  };
  std::unordered_map<std::string, uint32_t> trackFile;  // by walk key
  std::vector<uint32_t> lastNeededBy;                   // per file: the last playlist needing it
  for (const auto& file : target_.files) {
    if (file.playlist == session::TargetFile::kKeptAsItIs) continue;
    const session::SnapshotPlaylist& playlist = snapshot_.playlists[file.playlist];
    session::Removals::Playlist p{playlist.id, playlist.name, {}};
    const auto self = static_cast<uint32_t>(out.playlists.size());
    if (uint32_t own = judged(root_ + "/" + file.relative, true); own != kNotOurs)
      p.needs.push_back(own);
    for (uint32_t track : file.entries) {
      // Where this plan saw nothing there is nothing to judge: a hundred
      // thousand looks and folded keys for a drive not yet exported to.
      if (track < observed_.at.size() && observed_.at[track] == session::AtDestination::kNothing)
        continue;
      const std::string& destination = snapshot_.tracks[track].destination;
      auto [at, added] = trackFile.emplace(session::walkKey(destination), kNotOurs);
      if (added) at->second = judged(musicRoot_ + "/" + destination, false);
      if (at->second == kNotOurs) continue;
      lastNeededBy.resize(out.files.size(), kNotOurs);
      if (lastNeededBy[at->second] == self) continue;
      lastNeededBy[at->second] = self;
      p.needs.push_back(at->second);
    }
    out.playlists.push_back(std::move(p));
  }
  return out;
}

ExportSession::ExportSession(const ExportOptions& options, Services services)
    : o_(options), services_(std::move(services)) {}

ExportSession::~ExportSession() = default;

void ExportSession::leaveTablesToExit() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A hundred thousand blocks for a library of twenty thousand tracks: a
  // tenth of a dry run's time, spent freeing what the exit frees anyway.
  struct Tables {
    Library library;
    fs::RecordContents record;
    session::KnownKeys keys;
    session::Snapshot snapshot;
    session::Observed observed;
    session::Target target;
    fs::PathSet written;
    ExportPlan plan;
  };
  new Tables{std::move(library_),  std::move(driveRecord_), std::move(destinationKeys_),
             std::move(snapshot_), std::move(observed_),    std::move(target_),
             std::move(record_),   std::move(plan_)};
#endif
}

void ExportSession::loadIntents() {
  intents_ = destination_->intents();
  for (const auto& line : fs::DestinationRoot::open(bridgeRoot())->intents()) {
    // The bridge's, written in the tracks' own root: its paths below it.
    if (line.compare(0, 6, "aside ") == 0)
      intents_.insert("aside " + std::string(DestinationLayout::kMusicFolder) + "/" +
                      line.substr(6));
    else
      intents_.insert(line);
  }
}

bool ExportSession::temporaryIsOurs(const std::string& path) const {
  std::string name = stdfs::path(path).filename().string();
  if (fs::FileManager::isPartialCopyName(name)) {
    std::string token(fs::DestinationRoot::tokenOf(name));
    return !token.empty() &&
           (token == fs::DestinationRoot::runToken() || intents_.count("run " + token));
  }
  if (!fs::isAsideName(name)) return false;
  auto relative = destination_->relativePath(path);
  if (!relative) return false;
  std::string original = stdfs::path(*relative).parent_path().string();
  original += (original.empty() ? "" : "/") + name.substr(fs::kAsidePrefix.size());
  return intents_.count("aside " + original) != 0;
}

}  // namespace app
