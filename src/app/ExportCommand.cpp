#include "app/ExportCommand.h"

#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <unordered_map>

#include "app/CommandLine.h"
#include "app/DestinationLayout.h"
#include "app/LibraryReader.h"
#include "app/Terminal.h"
#include "catalogue/CTrackList.h"
#include "drive/HardwarePaths.h"
#include "drive/TessalineFinder.h"
#include "export/CThreadCopier.h"
#include "export/CThreadPlaylistGenerator.h"
#include "export/CTrackSync.h"
#include "platform/DestinationRoot.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "shell/stAutoReleasePool.h"
#include "ui/SelectorText.h"

namespace app {
namespace {

using catalogue::CTrack;
using catalogue::CTrackList;
using nlohmann::json;
namespace fs = std::filesystem;

// Raised for bad usage or input: the message is shown, the status is 2
// and nothing has been written.
struct UsageError {
  std::string message;
};

// Raised when the export stops short for a reason the user must hear; the
// status word goes into the report.
struct Stopped {
  std::string status;
  std::string message;
  int exitStatus;
};

// Set by the first Ctrl-C or SIGTERM of a run; the copy stops at the next
// track boundary. The handler is installed with SA_RESETHAND, so a second
// signal ends the process at once.
std::atomic<bool> gInterrupted{false};

void onInterrupt(int) { gInterrupted.store(true); }

class InterruptGuard {
 public:
  InterruptGuard() {
    gInterrupted.store(false);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~InterruptGuard() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
};

bool interrupted() { return gInterrupted.load(); }

// Whether `path` is `folder` or lies below it (lexically).
bool lexicallyInside(const std::string& path, const std::string& folder) {
  if (folder.empty() || path.size() < folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  return path.size() == folder.size() || path[folder.size()] == '/' || folder == "/";
}

// A failed copy's reason in words a person understands, with where it
// happened.
std::string describeCopyFailure(const platform::FileError& e, const std::string& source) {
  const std::string& where = e.path.empty() ? source : e.path;
  bool atSource = !e.path.empty() && e.path == source;
  switch (e.code) {
    case ENOSPC:
    case EDQUOT:
      return "no space left on the drive (" + where + ")";
    case ENODEV:
      return "the drive was removed";
    case EIO:
      return "the drive could not be written (input/output error: was it removed?) (" + where + ")";
    case EROFS:
      return "the drive is read-only (" + where + ")";
    case EFBIG:
      return "the file is larger than the file system allows (FAT32 holds at most 4 GiB per file) (" + where + ")";
    case EISDIR:
      return atSource ? "the source is a folder (" + where + ")" : "a folder stands at " + where;
    case EEXIST:
      return "another file already stands at " + where;
    case ENOTDIR:
      return "a file stands where a folder belongs, on the way to " + where;
    case ELOOP:
      return "a symbolic link stands in the way, on the way to " + where + " (nothing is written through links)";
    case EACCES:
    case EPERM:
      return "permission denied (" + where + ")";
    case ENOENT:
      return atSource ? "the source file is missing (" + where + ")" : "a folder on the way is missing (" + where + ")";
    case ENAMETOOLONG:
      return "the name is too long for the drive (" + where + ")";
    case ECANCELED:
      return "the export was interrupted";
    case EXDEV:
      return "its path is not inside the destination folder (" + where + ")";
    default:
      if (atSource && e.code == platform::kNotRegularFile) return "not a regular file (" + where + ")";
      return e.localizedDescription.empty() ? "error " + std::to_string(e.code) : e.localizedDescription;
  }
}

// The usual places of a library export under the user's Music folder.
std::string defaultLibraryFile() {
  const char* home = std::getenv("HOME");
  if (!home || !*home) return "";
  std::string music = std::string(home) + "/Music";
  for (const char* folder : {"/iTunes", "/Music", ""}) {
    if (auto found = LibraryReader::findExportIn(music + folder)) return *found;
  }
  return "";
}

// The folder of a Tessaline volume: the one named `title`, or else the
// one the drive popup preselects (the remembered or first usable one).
std::string driveVolumePath(const std::string& title) {
  drive::TessalineFinder finder;
  finder.awakeFromNib();
  int index = title.empty() ? finder.indexOfSelectedItem() : finder.indexOfItemWithTitle(title);
  if (index < 0) {
    std::string why = finder.numberOfItems() == 0 || title.empty()
                          ? drive::TessalineFinder::noTessalineExplain().value_or("No Tessaline drive was found.")
                          : "No drive volume is named \"" + title + "\" (see tessaline drives).";
    throw UsageError{why + " Name a folder with --to DIR instead."};
  }
  const auto& item = finder.items()[static_cast<size_t>(index)];
  if (!item.enabled) throw UsageError{"The volume \"" + item.title + "\" cannot be used: " + item.toolTip};
  std::string path = drive::TessalineFinder::getPathForDiskID(item.tag);
  if (path.empty()) throw UsageError{"The volume \"" + item.title + "\" is no longer mounted."};
  // A fake machine's volumes are mounted nowhere; TESSALINE_FAKE_MOUNTS
  // names a folder that stands for its root directory.
  const char* mounts = std::getenv("TESSALINE_FAKE_MOUNTS");
  if (drive::HardwarePaths::current().fake && mounts && *mounts) path = std::string(mounts) + path;
  return path;
}

// Whether a playlist belongs to an export of all playlists: the master
// library playlist, hidden, distinguished (Music, Movies, Podcasts...)
// and folder playlists do not.
bool exportedByDefault(const LibraryPlaylist& p) {
  return !p.master && p.visible && !p.distinguishedKind && !p.folder;
}

uint64_t freeBytes(const std::string& path) {
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

std::string stripMusicFolder(const std::string& relative) {
  std::string prefix = std::string(DestinationLayout::kMusicFolder) + "/";
  return relative.rfind(prefix, 0) == 0 ? relative.substr(prefix.size()) : relative;
}

// Pumps the main run loop until done() holds, calling show() about ten
// times a second.
template <class Done, class Show>
void waitFor(Done done, Show show) {
  auto& loop = platform::MainRunLoop::shared();
  while (!loop.runUntil(done, std::chrono::milliseconds(100), std::chrono::milliseconds(20))) show();
  loop.runPending();
}

struct Selected {
  const LibraryPlaylist* playlist;
  std::string fileName;
  CTrackList::Ptr list;
};

struct Failure {
  const LibraryTrack* track;
  std::string reason;
};

// One item of the stale list: what it is, and whether the exporter wrote it.
struct StaleItem {
  std::string path;
  bool folder = false;
  bool playlistFile = false;
  uint64_t bytes = 0;
  bool ours = false;  // written by the exporter (or its unfinished copy)
};

class Export {
 public:
  explicit Export(const ExportOptions& o) : o_(o), text_(!o.json) {}

  int run();
  json& report() { return report_; }

 private:
  void out(const std::string& line) {
    if (text_) std::cout << line << "\n";
  }
  void load();
  void prepare();
  void plan();
  bool confirm(const std::string& question);
  void copy();
  void covers();
  void playlistFiles();
  void findStale();
  void clean();
  std::vector<std::string> stalePlaylistFiles() const;
  std::string failureReason(const LibraryTrack& t) const;
  std::string cleanUpRefusal() const;
  void stopIfInterrupted();

  const ExportOptions& o_;
  bool text_;
  json report_ = json::object();
  Library library_;
  std::string libraryFile_;
  std::string root_;       // the drive's folder
  std::string musicRoot_;  // root_/Music, the catalogue's destination root
  std::string playlistFolder_;
  std::shared_ptr<platform::DestinationRoot> destination_;
  int mode_ = 2;
  bool cleanUp_ = false;
  std::vector<Selected> selected_;
  std::vector<std::string> ids_;
  std::unordered_map<std::string, const LibraryTrack*> byId_;
  uint64_t net_ = 0;
  uint64_t staleBytes_ = 0;  // of what the clean-up would delete
  uint64_t copied_ = 0;
  size_t tracksCopied_ = 0;
  bool cleanedFirst_ = false;
  bool copyStarted_ = false;
  std::optional<std::vector<StaleItem>> stale_;
  std::unordered_set<std::string> record_;  // what the exporter wrote, relative to root_
  std::vector<Failure> failures_;
  size_t playlistFailures_ = 0;
  size_t deleteFailures_ = 0;
};

void Export::load() {
  std::string file = o_.library.empty() ? defaultLibraryFile() : o_.library;
  if (file.empty()) {
    throw UsageError{"No library export found under ~/Music; name one with --library FILE "
                     "(in iTunes: File > Library > Export Library...)."};
  }
  PathMap map;
  for (const auto& entry : o_.mapPrefixes) {
    size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == entry.size()) {
      throw UsageError{"--map-prefix wants FROM=TO, e.g. 'C:/Users/Me/Music=/mnt/music', not '" + entry + "'"};
    }
    map.add(entry.substr(0, eq), entry.substr(eq + 1));
  }
  try {
    library_ = LibraryReader(map).read(file);
  } catch (const LibraryError& e) {
    throw UsageError{e.what()};
  }
  libraryFile_ = file;
  report_["library"] = file;

  std::error_code ec;
  std::string to = o_.to.empty() ? driveVolumePath(o_.drive) : o_.to;
  if (!fs::is_directory(to, ec)) throw UsageError{"The destination " + to + " is not a folder."};
  root_ = fs::canonical(to, ec).string();
  if (ec) throw UsageError{"The destination " + to + " cannot be used: " + ec.message()};
  if (access(root_.c_str(), W_OK) != 0) throw UsageError{"The destination " + root_ + " is not writable."};
  destination_ = platform::DestinationRoot::open(root_);
  if (!destination_->isOpen()) {
    throw UsageError{"The destination " + root_ + " cannot be used: " + destination_->openError().localizedDescription};
  }
  musicRoot_ = (fs::path(root_) / DestinationLayout::kMusicFolder).string();
  playlistFolder_ = (fs::path(root_) / DestinationLayout::kPlaylistFolder).string();
  report_["destination"] = root_;

  mode_ = o_.playlists.empty() ? 2 : 1;
  cleanUp_ = !o_.noClean && (mode_ == 2 || o_.clean || o_.cleanAll);
  report_["mode"] = mode_;

  // Paths and file names are decided over the whole library in its own
  // order, so they do not change with the playlists chosen.
  DestinationLayout layout(library_.musicFolderSourcePath);
  std::unordered_map<std::string, std::string> destination;
  for (const auto& t : library_.tracks) {
    byId_[t.persistentId] = &t;
    destination[t.persistentId] = stripMusicFolder(layout.trackPath(t));
  }
  std::map<const LibraryPlaylist*, std::string> fileNames;
  for (const auto& p : library_.playlists) {
    if (exportedByDefault(p)) fileNames[&p] = layout.playlistFileName(p.name);
  }

  std::set<std::string> wanted(o_.playlists.begin(), o_.playlists.end());
  std::set<std::string> found;
  for (const auto& p : library_.playlists) {
    bool take = mode_ == 2 ? exportedByDefault(p) : wanted.count(p.name) != 0 && !p.folder;
    if (!take) continue;
    found.insert(p.name);
    std::string fileName = fileNames.count(&p) ? fileNames[&p] : layout.playlistFileName(p.name);
    selected_.push_back({&p, fileName, nullptr});
  }
  for (const auto& name : wanted) {
    if (!found.count(name)) throw UsageError{"The library has no playlist named \"" + name + "\"."};
  }

  shell::stAutoReleasePool pool;
  CTrackList::setCopyOnlyCheckedItems(!o_.allTracks);
  for (auto& s : selected_) {
    catalogue::Values ids, enables;
    catalogue::Texts sources, dests, titles, artists, durations;
    for (const auto& item : s.playlist->items) {
      auto it = byId_.find(item);
      if (it == byId_.end()) continue;
      const LibraryTrack& t = *it->second;
      ids.emplace_back(t.persistentId);
      enables.emplace_back(!t.disabled);
      sources.push_back(t.localPath());
      dests.push_back(destination[t.persistentId]);
      titles.push_back(t.name);
      artists.push_back(t.artist);
      durations.push_back(DestinationLayout::durationText(t.totalTimeMs));
    }
    s.list = CTrackList::retainedTrackListForUniqueID(s.playlist->persistentId, true, ids, enables, sources, dests,
                                                      titles, artists, durations);
    s.list->setPlaylistFileName(s.fileName);
    ids_.push_back(s.playlist->persistentId);
  }
  CTrack::setDestinationBasePath(musicRoot_);
}

// Why no clean-up may run here, or nothing: a library whose own files lie
// inside the destination would have them judged stale.
std::string Export::cleanUpRefusal() const {
  std::error_code ec;
  std::vector<std::string> roots = {root_};
  std::string given = fs::absolute(o_.to.empty() ? root_ : o_.to, ec).lexically_normal().string();
  while (given.size() > 1 && given.back() == '/') given.pop_back();
  if (!ec && given != root_) roots.push_back(given);
  std::string library = fs::canonical(libraryFile_, ec).string();
  for (const auto& r : roots) {
    if (lexicallyInside(library, r) || lexicallyInside(libraryFile_, r)) {
      return "the library file " + libraryFile_ + " lies inside the destination " + root_;
    }
  }
  size_t inside = 0;
  std::string example;
  for (const auto& t : library_.tracks) {
    const std::string& source = t.localPath();
    for (const auto& r : roots) {
      if (!source.empty() && lexicallyInside(source, r)) {
        if (inside++ == 0) example = source;
        break;
      }
    }
  }
  if (inside == 0) return "";
  return std::to_string(inside) + " of the library's tracks lie inside the destination " + root_ + " (such as " +
         example + ")";
}

// Before anything is written: one export at a time per destination, and
// what an earlier export left half done goes.
void Export::prepare() {
  std::string holder;
  int e = destination_->lock(&holder);
  if (e == EWOULDBLOCK) {
    throw Stopped{"busy",
                  "Another export to " + root_ + " is under way" + (holder.empty() ? "" : " (process " + holder + ")") +
                      "; wait for it to finish, then try again. Nothing was changed.",
                  kExitPartial};
  }
  if (e != 0) {
    throw Stopped{"error", "The destination " + root_ + " cannot be written: " + std::strerror(e) + ".", kExitPartial};
  }
  // Unfinished copies of earlier runs (a kill, a power cut, a pulled
  // drive) are the exporter's own: every export removes them.
  auto fm = platform::FileManager::makePrivate();
  size_t removed = 0;
  std::function<void(const std::string&)> sweep = [&](const std::string& folder) {
    auto entries = fm->contentsOfDirectoryAtPath(folder, nullptr);
    if (!entries) return;
    for (const auto& entry : *entries) {
      std::string path = folder + "/" + entry.name;
      if (entry.type == platform::FileType::kDirectory) {
        sweep(path);
      } else if (entry.type == platform::FileType::kRegular && platform::FileManager::isPartialCopyName(entry.name)) {
        if (fm->removeItemBelowRoot(*destination_, path, platform::RemoveKind::kFile, nullptr)) ++removed;
      }
    }
  };
  sweep(musicRoot_);
  sweep(playlistFolder_);
  report_["unfinishedCopiesRemoved"] = removed;
  if (removed) out("Removed " + std::to_string(removed) + " unfinished copies left by an earlier export.");
}

std::vector<std::string> Export::stalePlaylistFiles() const {
  std::vector<std::string> stale;
  if (mode_ != 2) return stale;
  std::set<std::string> written;
  for (const auto& s : selected_) written.insert(s.fileName + DestinationLayout::kPlaylistExtension);
  auto fm = platform::FileManager::makePrivate();
  auto entries = fm->contentsOfDirectoryAtPath(playlistFolder_, nullptr);
  if (!entries) return stale;
  for (const auto& e : *entries) {
    const std::string& n = e.name;
    bool m3u8 = n.size() >= 5 && n.compare(n.size() - 5, 5, DestinationLayout::kPlaylistExtension) == 0;
    if (e.type == platform::FileType::kRegular && m3u8 && !written.count(n)) {
      stale.push_back((fs::path(playlistFolder_) / n).string());
    }
  }
  return stale;
}

// The stale list, each item judged: the exporter's own (in its record, or
// an unfinished copy) or the user's. A folder counts as the exporter's
// when nothing the user's stays in it.
void Export::findStale() {
  stale_.emplace();
  staleBytes_ = 0;
  auto sync = exporter::CTrackSync::deleteList(nullptr);
  auto list = sync->deleteList().value_or(exporter::PathList{});
  auto playlists = stalePlaylistFiles();
  record_ = destination_->readRecord();
  std::unordered_set<std::string>& record = record_;
  // Copies made through the script bridge keep their record in the
  // tracks' own root.
  auto musicRecord = platform::DestinationRoot::open(musicRoot_);
  for (const auto& p : musicRecord->readRecord()) {
    record.insert(std::string(DestinationLayout::kMusicFolder) + "/" + p);
  }
  auto fm = platform::FileManager::makePrivate();
  std::unordered_set<std::string> keptFolders;  // folders that keep something of the user's
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
    if (attributes && !item.folder) item.bytes = attributes->size;
    if (item.folder) {
      item.ours = o_.cleanAll || keptFolders.count(path) == 0;
    } else {
      auto relative = destination_->relativePath(path);
      item.ours = o_.cleanAll || platform::FileManager::isPartialCopyName(fs::path(path).filename().string()) ||
                  (relative && record.count(*relative) != 0);
    }
    if (!item.ours) keep(path);
    if (item.ours) staleBytes_ += item.bytes;
    stale_->push_back(std::move(item));
  };
  // The list holds a folder's contents before the folder.
  for (const auto& p : list) judge(p, false);
  for (const auto& p : playlists) judge(p, true);
}

void Export::plan() {
  net_ = static_cast<uint64_t>(CTrackList::netCopyTotalUniqueIDs(ids_));
  uint64_t free = freeBytes(root_);
  if (cleanUp_) {
    std::string refusal = cleanUpRefusal();
    if (!refusal.empty()) {
      cleanUp_ = false;
      report_["stale"] = {{"skipped", refusal}};
      out("No clean-up: " + refusal + ", so nothing on the drive is judged stale.");
    } else {
      findStale();
    }
  }
  json rows = json::array();
  size_t nameWidth = 8;
  for (const auto& s : selected_) nameWidth = std::max(nameWidth, std::min<size_t>(displayWidth(s.playlist->name), 40));
  out("Plan for " + root_ + ":");
  char header[256];
  snprintf(header, sizeof header, " %7s %12s %12s", "Tracks", "To copy", "This export");
  out("  " + fitToWidth("Playlist", nameWidth) + header);
  for (const auto& s : selected_) {
    uint64_t uncopied = static_cast<uint64_t>(s.list->uncopiedTotal());
    uint64_t charged = static_cast<uint64_t>(s.list->netcopyTotal());
    size_t tracks = s.list->trackList()->size();
    rows.push_back({{"name", s.playlist->name},
                    {"id", s.playlist->persistentId},
                    {"file", s.fileName + DestinationLayout::kPlaylistExtension},
                    {"tracks", tracks},
                    {"bytesToCopy", uncopied},
                    {"bytesThisExport", charged}});
    char line[512];
    snprintf(line, sizeof line, " %7zu %12s %12s  %s", tracks, byteText(uncopied).c_str(), byteText(charged).c_str(),
             bar(static_cast<double>(charged), static_cast<double>(std::max<uint64_t>(net_, 1)), 20).c_str());
    out("  " + fitToWidth(s.playlist->name, nameWidth) + line);
  }
  report_["playlists"] = rows;
  report_["bytesToCopy"] = net_;
  report_["freeSpace"] = free;
  out("Total to copy: " + byteText(net_) + "; free on the drive: " + byteText(free) +
      (cleanUp_ ? "; stale files: " + byteText(staleBytes_) : ""));
  report_["leftOut"] = {{"tracksWithoutFile", library_.tracksWithoutFile},
                        {"tracksNotOnThisComputer", library_.tracksNotOnThisComputer},
                        {"itemsNamingMissingTrack", library_.itemsNamingMissingTrack},
                        {"tracksWithoutIdentifier", library_.tracksWithoutIdentifier},
                        {"playlistsWithoutIdentifier", library_.playlistsWithoutIdentifier}};
  if (library_.tracksNotOnThisComputer || library_.tracksWithoutFile || library_.itemsNamingMissingTrack) {
    out("Note: " + std::to_string(library_.tracksWithoutFile) + " tracks have no file (cloud or remote), " +
        std::to_string(library_.tracksNotOnThisComputer) + " are not on this computer, " +
        std::to_string(library_.itemsNamingMissingTrack) + " playlist entries name a track the library lacks.");
  }
  if (library_.tracksWithoutIdentifier || library_.playlistsWithoutIdentifier) {
    out("Note: " + std::to_string(library_.tracksWithoutIdentifier) + " tracks and " +
        std::to_string(library_.playlistsWithoutIdentifier) +
        " playlists were left out: their persistent identifier is missing or repeated.");
  }
  if (net_ > free) {
    bool fitsAfterClean = cleanUp_ && net_ <= free + staleBytes_;
    if (!fitsAfterClean) {
      throw Stopped{"does not fit",
                    "The export needs " + byteText(net_) + " but the drive has only " + byteText(free) +
                        " free. Choose fewer playlists with --playlist.",
                    kExitPartial};
    }
    out("It fits only once the stale files are gone.");
    if (!o_.dryRun) {
      if (!o_.yes && !confirm("Remove the stale files first?")) {
        throw Stopped{"does not fit", "The export does not fit; nothing was copied.", kExitPartial};
      }
      clean();
      cleanedFirst_ = true;
    }
  }
}

bool Export::confirm(const std::string& question) {
  if (o_.yes) return true;
  return askYesNo(question);
}

std::string Export::failureReason(const LibraryTrack& t) const {
  if (!t.onThisComputer()) return "the file is not on this computer (" + t.location + ")";
  if (interrupted()) return "the export was interrupted";
  if (access(t.localPath().c_str(), F_OK) != 0) return "the source file is missing (" + t.localPath() + ")";
  if (access(t.localPath().c_str(), R_OK) != 0) return "the source file cannot be read (" + t.localPath() + ")";
  return "it is not on the drive after the copy";
}

void Export::copy() {
  copyStarted_ = true;
  auto copier = exporter::CThreadCopier::CThreadCopierForUniqueIDs(ids_, {destination_, &gInterrupted});
  bool live = text_ && stdoutIsTerminal();
  auto start = std::chrono::steady_clock::now();
  auto show = [&] {
    if (!live || copier->copyState() < 2) return;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t done = copier->copiedSize(), total = copier->totalSize();
    double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    std::string eta = rate > 0 && total > done ? durationText(static_cast<double>(total - done) / rate) : "-";
    std::cout << "\r  " << bar(static_cast<double>(done), static_cast<double>(total), 30) << " "
              << byteText(done) << " of " << byteText(total) << ", " << byteText(static_cast<uint64_t>(rate))
              << "/s, " << eta << " left   " << std::flush;
  };
  out(ids_.empty() ? "Nothing to copy." : "Copying...");
  if (!ids_.empty()) waitFor([&] { return copier->copyState() == 3; }, show);
  if (live) std::cout << "\r\033[K";
  copier->joinForTesting();
  copied_ = copier->committedBytes();

  // The file manager's own reason for each track it could not copy.
  std::unordered_map<std::string, platform::FileError> reasons;
  for (const auto& f : copier->failures()) reasons[f.uniqueID] = f.error;
  // Every track that should be on the drive and is not could not be copied.
  std::set<std::string> seen;
  json failed = json::array(), unchecked = json::array();
  for (const auto& s : selected_) {
    for (const auto& track : *s.list->trackList()) {
      if (!seen.insert(track->uniqueID()).second) continue;
      if (track->trackPresent()) continue;
      std::string destination = track->absDestinationPath().value_or("");
      if (!track->trackShouldCopy()) {
        unchecked.push_back(destination);
        continue;
      }
      const LibraryTrack& t = *byId_.at(track->uniqueID());
      auto reason = reasons.find(track->uniqueID());
      json entry = {{"title", t.name},          {"artist", t.artist},           {"source", t.localPath()},
                    {"location", t.location},   {"destination", destination}};
      if (reason != reasons.end() && t.onThisComputer()) {
        failures_.push_back({&t, describeCopyFailure(reason->second, t.localPath())});
        entry["path"] = reason->second.path;
        entry["errno"] = reason->second.code;
      } else {
        failures_.push_back({&t, failureReason(t)});
      }
      entry["reason"] = failures_.back().reason;
      failed.push_back(entry);
    }
  }
  for (const auto& track : seen) {
    auto t = CTrack::trackForUniqueID(track);
    if (t && t->trackPresent()) ++tracksCopied_;
  }
  report_["bytesCopied"] = copied_;
  report_["notCopied"] = failed;
  report_["uncheckedNotCopied"] = unchecked;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  out("Copied " + byteText(copied_) + " in " + durationText(seconds) + ".");
  if (!failures_.empty()) {
    out(std::to_string(failures_.size()) + " tracks could not be copied:");
    for (const auto& f : failures_) out("  " + f.track->artist + " - " + f.track->name + ": " + f.reason);
  }
}

void Export::covers() {
  auto art = CTrack::tracksNeedingArtMkdir(false);
  auto fm = platform::FileManager::makePrivate();
  static const char* kCandidates[] = {"folder.jpg", "Folder.jpg", "FOLDER.JPG", "cover.jpg", "Cover.jpg",
                                      "COVER.JPG",  "front.jpg",  "Front.jpg",  "album.jpg", "Album.jpg"};
  std::set<std::string> done;
  size_t written = 0;
  // Flushed together, as the tracks are: one flush per album is slow.
  // Written below the drive's root and recorded as the exporter's.
  auto batch = fm->makeCopyBatch(platform::CopyBatchOptions{destination_, &gInterrupted});
  auto commit = [&] {
    for (bool named : batch->commit(nullptr)) written += named;
  };
  for (size_t i = 0; i < art[0].size() && i < art[1].size() && !interrupted(); ++i) {
    const std::string& target = art[1][i];
    if (target.empty() || !done.insert(target).second) continue;
    auto track = CTrack::trackForUniqueID(art[0][i]);
    if (!track) continue;
    bool isDirectory = false;
    std::string folder = fs::path(target).parent_path().string();
    if (!fm->fileExistsAtPath(folder, &isDirectory) || !isDirectory) continue;  // nothing was copied there
    std::string sourceFolder = fs::path(track->sourcePath()).parent_path().string();
    for (const char* name : kCandidates) {
      std::string candidate = (fs::path(sourceFolder) / name).string();
      auto attributes = fm->attributesOfItemAtPath(candidate, nullptr);
      if (!attributes || attributes->type != platform::FileType::kRegular) continue;
      batch->addCopy(candidate, target, nullptr);
      if (batch->pendingCount() >= 64) commit();
      break;
    }
  }
  commit();
  report_["coverImages"] = written;
  if (written) out("Cover images: " + std::to_string(written) + " \"" + CTrack::artFileName() + "\" written.");
}

void Export::playlistFiles() {
  auto generator =
      exporter::CThreadPlaylistGenerator::CThreadPlaylistGeneratorForUniqueIDs(ids_, playlistFolder_, destination_);
  if (!ids_.empty()) waitFor([&] { return generator->playlistState() == 2; }, [] {});
  generator->joinForTesting();
  std::map<std::string, platform::FileError> failed;
  for (const auto& f : generator->failures()) failed[f.uniqueID] = f.error;
  json files = json::array(), failures = json::array();
  for (const auto& s : selected_) {
    std::string file = s.fileName + DestinationLayout::kPlaylistExtension;
    auto f = failed.find(s.playlist->persistentId);
    if (f == failed.end()) {
      files.push_back(file);
    } else {
      std::string reason = describeCopyFailure(f->second, "");
      failures.push_back({{"name", s.playlist->name}, {"file", file}, {"reason", reason}});
    }
  }
  playlistFailures_ = failures.size();
  report_["playlistFiles"] = files;
  report_["playlistFilesNotWritten"] = failures;
  out("Playlist files: " + std::to_string(files.size()) + " written to " + playlistFolder_ + ".");
  if (!failures.empty()) {
    out(std::to_string(failures.size()) + " playlist files could not be written (the old ones, if any, are kept):");
    for (const auto& f : failures) {
      out("  " + f["name"].get<std::string>() + ": " + f["reason"].get<std::string>());
    }
  }
}

void Export::clean() {
  if (!stale_) findStale();
  json files = json::array(), playlists = json::array(), kept = json::array(), items = json::array();
  uint64_t keptBytes = 0;
  size_t ours = 0;
  for (const auto& item : *stale_) {
    if (item.ours) {
      ++ours;
      (item.playlistFile ? playlists : files).push_back(item.path);
    } else {
      kept.push_back(item.path);
      keptBytes += item.bytes;
    }
  }
  json stale = {{"files", files},
                {"playlistFiles", playlists},
                {"bytes", staleBytes_},
                {"deleted", false},
                {"kept", {{"reason", "not written by the exporter"}, {"files", kept}, {"bytes", keptBytes}}}};
  auto finish = [&] {
    stale["items"] = items;
    report_["stale"] = stale;
  };
  if (stale_->empty()) {
    out("No stale files on the drive.");
    stale["deleted"] = true;
    return finish();
  }
  if (ours > 0) {
    out("Stale files (" + std::to_string(ours) + ", " + byteText(staleBytes_) + "):");
    for (const auto& item : *stale_)
      if (item.ours) out("  " + item.path);
  } else {
    out("No stale files of the exporter's own on the drive.");
  }
  if (!kept.empty()) {
    out("Kept: " + std::to_string(kept.size()) + " stale items (" + byteText(keptBytes) +
        ") not written by the exporter (--clean-all deletes them too):");
    for (const auto& item : *stale_)
      if (!item.ours) out("  " + item.path);
  }
  auto listItems = [&](bool deletedAll) {
    for (const auto& item : *stale_) {
      items.push_back({{"path", item.path},
                       {"bytes", item.bytes},
                       {"writtenByExporter", item.ours && !o_.cleanAll ? true : item.ours},
                       {"deleted", false}});
    }
    (void)deletedAll;
  };
  if (ours == 0 || o_.dryRun || !confirm(o_.cleanAll ? "Delete them all?" : "Delete them?")) {
    if (ours > 0) out("Stale files kept.");
    listItems(false);
    stale["deleted"] = ours == 0;
    return finish();
  }
  // Files one by one, then a folder only once it is empty: a folder is
  // never removed with what it holds.
  auto fm = platform::FileManager::makePrivate();
  std::vector<std::string> notDeleted, deleted;
  for (const auto& item : *stale_) {
    json entry = {{"path", item.path}, {"bytes", item.bytes}, {"writtenByExporter", item.ours}, {"deleted", false}};
    if (item.ours) {
      platform::FileError error;
      bool done = false;
      if (item.folder) {
        // The cover image the exporter put there goes with its folder.
        std::string art = item.path + "/" + CTrack::artFileName();
        auto relative = destination_->relativePath(art);
        bool isDirectory = false;
        if (fm->fileExistsAtPath(art, &isDirectory) && !isDirectory) {
          bool recorded = o_.cleanAll;
          if (!recorded && relative) recorded = record_.count(*relative) != 0;
          if (recorded) fm->removeItemBelowRoot(*destination_, art, platform::RemoveKind::kFile, nullptr);
        }
        done = fm->removeItemBelowRoot(*destination_, item.path, platform::RemoveKind::kEmptyFolder, &error);
      } else {
        done = fm->removeItemBelowRoot(*destination_, item.path, platform::RemoveKind::kFile, &error);
      }
      entry["deleted"] = done;
      if (done && !item.folder) {
        if (auto relative = destination_->relativePath(item.path)) deleted.push_back(*relative);
      }
      if (!done && item.folder && error.code == ENOTEMPTY) {
        // Something not the exporter's (a cover image of the user's, a
        // file put there since) keeps its folder.
        entry["writtenByExporter"] = false;
        entry["reason"] = "it holds files not written by the exporter";
      } else if (!done) {
        std::string reason = describeCopyFailure(error, "");
        entry["reason"] = reason;
        notDeleted.push_back(item.path + ": " + reason);
      }
    }
    items.push_back(entry);
  }
  // The record forgets what is gone, so that a file of the user's that
  // later takes one of those names is never taken for the exporter's.
  if (!deleted.empty()) destination_->forget(deleted);
  deleteFailures_ = notDeleted.size();
  stale["deleted"] = notDeleted.empty();
  if (notDeleted.empty()) {
    out("Stale files deleted.");
  } else {
    out(std::to_string(notDeleted.size()) + " stale items could not be deleted:");
    for (const auto& line : notDeleted) out("  " + line);
  }
  finish();
}

void Export::stopIfInterrupted() {
  if (!interrupted()) return;
  size_t notCopied = failures_.size();
  throw Stopped{"interrupted",
                "Interrupted: " + byteText(copied_) + " copied (" + std::to_string(tracksCopied_) +
                    " tracks on the drive), " + std::to_string(notCopied) +
                    " tracks not copied; unfinished copies were removed. The next export goes on from here.",
                kExitInterrupted};
}

int Export::run() {
  load();
  if (!o_.dryRun) prepare();
  plan();
  if (o_.dryRun) {
    if (cleanUp_) clean();
    report_["status"] = "dry run";
    return kExitOk;
  }
  if (!std::getenv("ExtScriptParam")) setenv("ExtScriptParam", mode_ == 1 ? "1" : "2", 0);
  ui::SelectorText prompts;
  out(prompts.confirmPrompt());
  if (!confirm("Start the export?")) {
    out("Nothing was changed.");
    report_["status"] = "declined";
    return kExitPartial;
  }
  InterruptGuard guard;
  copy();
  stopIfInterrupted();
  covers();
  stopIfInterrupted();
  playlistFiles();
  stopIfInterrupted();
  if (cleanUp_ && !cleanedFirst_) clean();
  bool ok = failures_.empty() && playlistFailures_ == 0 && deleteFailures_ == 0;
  report_["status"] = ok ? "done" : "problems";
  out(ok ? prompts.completionPrompt() + " Done." : prompts.failurePrompt() + " Finished with problems.");
  return ok ? kExitOk : kExitPartial;
}

}  // namespace

int runExport(const ExportOptions& options) {
  Export run(options);
  int status = kExitOk;
  std::string problem;
  try {
    status = run.run();
  } catch (const UsageError& e) {
    problem = e.message;
    run.report()["status"] = "usage error";
    status = kExitUsage;
  } catch (const Stopped& e) {
    problem = e.message;
    run.report()["status"] = e.status;
    status = e.exitStatus;
  } catch (const std::exception& e) {
    problem = e.what();
    run.report()["status"] = "error";
    status = kExitPartial;
  }
  if (!problem.empty()) {
    run.report()["error"] = problem;
    std::cerr << "tessaline export: " << problem << "\n";
  }
  run.report()["exitStatus"] = status;
  // Names on a drive need not be UTF-8: they are shown with U+FFFD rather
  // than ending the report.
  if (options.json) std::cout << run.report().dump(2, ' ', false, json::error_handler_t::replace) << "\n";
  return status;
}

void registerExportCommand(CLI::App& cli) {
  auto options = std::make_shared<ExportOptions>();
  auto* cmd = cli.add_subcommand("export", "Copy playlists and their files to the drive and write playlist files");
  cmd->add_option("--library", options->library,
                  "The library export (iTunes Music Library.xml, iTunes Library.xml or Library.xml); "
                  "default: the usual places under ~/Music");
  auto* to = cmd->add_option("--to", options->to,
                             "The drive's folder: tracks go to DIR/Music, playlist files to DIR/Playlists; "
                             "default: the Tessaline volume `tessaline drives` preselects");
  cmd->add_option("--drive", options->drive, "Export to the Tessaline volume of this title (see tessaline drives)")
      ->excludes(to);
  cmd->add_option("--playlist", options->playlists,
                  "Export only this playlist (repeatable); without it every playlist is exported");
  cmd->add_option("--map-prefix", options->mapPrefixes,
                  "Read files recorded under FROM from TO instead, e.g. 'C:/Users/Me/Music=/mnt/music'");
  cmd->add_flag("--all-tracks", options->allTracks, "Copy unchecked tracks too");
  cmd->add_flag("--dry-run", options->dryRun, "Show the plan and the stale files; change nothing");
  cmd->add_flag("--yes,-y", options->yes,
                "Answer yes to every question, including deleting stale files: files this exporter wrote that no "
                "exported playlist needs, its unfinished copies, and folders left empty by those deletions "
                "(with --clean-all, every stale file under DIR/Music and every other .m3u8 in DIR/Playlists)");
  auto* noClean = cmd->add_flag("--no-clean", options->noClean, "Keep files that no exported playlist needs");
  cmd->add_flag("--clean", options->clean, "Also clean up when exporting chosen playlists only")->excludes(noClean);
  cmd->add_flag("--clean-all", options->cleanAll,
                "Also delete stale files the exporter did not write (for a drive used for nothing else)")
      ->excludes(noClean);
  cmd->add_flag("--json", options->json, "Print a machine-readable report instead of text (needs --yes or --dry-run)");
  auto log = std::make_shared<bool>(false);
  cmd->add_flag("--log", *log, "Also show the system log lines on standard error");
  cmd->footer(
      "Examples:\n"
      "  tessaline export --library ~/Music/iTunes/iTunes\\ Music\\ Library.xml --to /media/me/TESSALINE\n"
      "  tessaline export --to /media/me/TESSALINE --playlist 'Road Trip' --playlist Workout\n"
      "  tessaline export --to /media/me/TESSALINE --dry-run\n"
      "  tessaline export --library Library.xml --to /media/me/TESSALINE --yes --json");
  cmd->callback([options, log] {
    if (options->json && !options->yes && !options->dryRun) {
      std::cerr << "tessaline export: --json needs --yes or --dry-run (it asks no questions)\n";
      throw CLI::RuntimeError(kExitUsage);
    }
    platform::setLogStderrMode(*log ? platform::StderrMode::kAlways : platform::StderrMode::kNever);
    int status = runExport(*options);
    if (status != kExitOk) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
