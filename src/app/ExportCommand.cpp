#include "app/ExportCommand.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
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

class Export {
 public:
  explicit Export(const ExportOptions& o) : o_(o), text_(!o.json) {}

  int run();

 private:
  void out(const std::string& line) {
    if (text_) std::cout << line << "\n";
  }
  void load();
  void plan();
  bool confirm(const std::string& question);
  void copy();
  void covers();
  void playlistFiles();
  void clean();
  std::vector<std::string> stalePlaylistFiles() const;
  std::string failureReason(const LibraryTrack& t) const;

  const ExportOptions& o_;
  bool text_;
  json report_;
  Library library_;
  std::string root_;       // the drive's folder
  std::string musicRoot_;  // root_/Music, the catalogue's destination root
  std::string playlistFolder_;
  int mode_ = 2;
  bool cleanUp_ = false;
  std::vector<Selected> selected_;
  std::vector<std::string> ids_;
  std::unordered_map<std::string, const LibraryTrack*> byId_;
  uint64_t net_ = 0;
  uint64_t staleBytes_ = 0;
  uint64_t copied_ = 0;
  bool cleanedFirst_ = false;
  std::vector<Failure> failures_;
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
  report_["library"] = file;

  std::error_code ec;
  std::string to = o_.to.empty() ? driveVolumePath(o_.drive) : o_.to;
  if (!fs::is_directory(to, ec)) throw UsageError{"The destination " + to + " is not a folder."};
  root_ = fs::canonical(to, ec).string();
  if (ec) throw UsageError{"The destination " + to + " cannot be used: " + ec.message()};
  if (access(root_.c_str(), W_OK) != 0) throw UsageError{"The destination " + root_ + " is not writable."};
  musicRoot_ = (fs::path(root_) / DestinationLayout::kMusicFolder).string();
  playlistFolder_ = (fs::path(root_) / DestinationLayout::kPlaylistFolder).string();
  report_["destination"] = root_;

  mode_ = o_.playlists.empty() ? 2 : 1;
  cleanUp_ = !o_.noClean && (mode_ == 2 || o_.clean);
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

void Export::plan() {
  net_ = static_cast<uint64_t>(CTrackList::netCopyTotalUniqueIDs(ids_));
  uint64_t free = freeBytes(root_);
  if (cleanUp_) {
    auto sync = exporter::CTrackSync::deleteList(nullptr);
    staleBytes_ = sync->deleteSize();
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
  if (library_.tracksNotOnThisComputer || library_.tracksWithoutFile || library_.itemsNamingMissingTrack) {
    out("Note: " + std::to_string(library_.tracksWithoutFile) + " tracks have no file (cloud or remote), " +
        std::to_string(library_.tracksNotOnThisComputer) + " are not on this computer, " +
        std::to_string(library_.itemsNamingMissingTrack) + " playlist entries name a track the library lacks.");
  }
  if (net_ > free) {
    bool fitsAfterClean = cleanUp_ && net_ <= free + staleBytes_;
    if (!fitsAfterClean) {
      throw std::runtime_error("The export needs " + byteText(net_) + " but the drive has only " + byteText(free) +
                               " free. Choose fewer playlists with --playlist.");
    }
    out("It fits only once the stale files are gone.");
    if (!o_.dryRun) {
      if (!o_.yes && !confirm("Remove the stale files first?")) {
        throw std::runtime_error("The export does not fit; nothing was copied.");
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
  if (access(t.localPath().c_str(), F_OK) != 0) return "the source file is missing";
  if (access(t.localPath().c_str(), R_OK) != 0) return "the source file cannot be read";
  std::error_code ec;
  if (fs::is_directory(t.localPath(), ec)) return "the source is a folder";
  return "the copy failed (is the drive full or gone?)";
}

void Export::copy() {
  auto copier = exporter::CThreadCopier::CThreadCopierForUniqueIDs(ids_);
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
  copied_ = copier->copiedSize();

  // Every track that should be on the drive and is not could not be copied.
  std::set<std::string> seen;
  json failed = json::array(), unchecked = json::array();
  for (const auto& s : selected_) {
    for (const auto& track : *s.list->trackList()) {
      if (!seen.insert(track->uniqueID()).second || track->trackPresent()) continue;
      std::string destination = track->absDestinationPath().value_or("");
      if (!track->trackShouldCopy()) {
        unchecked.push_back(destination);
        continue;
      }
      const LibraryTrack& t = *byId_.at(track->uniqueID());
      failures_.push_back({&t, failureReason(t)});
      failed.push_back({{"title", t.name}, {"artist", t.artist}, {"source", t.localPath()},
                        {"location", t.location}, {"destination", destination},
                        {"reason", failures_.back().reason}});
    }
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
  auto batch = fm->makeCopyBatch();
  auto commit = [&] {
    for (bool named : batch->commit(nullptr)) written += named;
  };
  for (size_t i = 0; i < art[0].size() && i < art[1].size(); ++i) {
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
  auto generator = exporter::CThreadPlaylistGenerator::CThreadPlaylistGeneratorForUniqueIDs(ids_, playlistFolder_);
  if (!ids_.empty()) waitFor([&] { return generator->playlistState() == 2; }, [] {});
  generator->joinForTesting();
  json files = json::array();
  for (const auto& s : selected_) files.push_back(s.fileName + DestinationLayout::kPlaylistExtension);
  report_["playlistFiles"] = files;
  out("Playlist files: " + std::to_string(selected_.size()) + " written to " + playlistFolder_ + ".");
}

void Export::clean() {
  auto sync = exporter::CTrackSync::deleteList(nullptr);
  auto list = sync->deleteList().value_or(exporter::PathList{});
  auto playlists = stalePlaylistFiles();
  uint64_t bytes = sync->deleteSize();
  auto fm = platform::FileManager::makePrivate();
  for (const auto& p : playlists) {
    if (auto a = fm->attributesOfItemAtPath(p, nullptr)) bytes += a->size;
  }
  json stale = {{"files", list}, {"playlistFiles", playlists}, {"bytes", bytes}, {"deleted", false}};
  if (list.empty() && playlists.empty()) {
    out("No stale files on the drive.");
    report_["stale"] = stale;
    return;
  }
  out("Stale files (" + std::to_string(list.size() + playlists.size()) + ", " + byteText(bytes) + "):");
  for (const auto& p : list) out("  " + p);
  for (const auto& p : playlists) out("  " + p);
  if (o_.dryRun || !confirm("Delete them?")) {
    out("Stale files kept.");
    report_["stale"] = stale;
    return;
  }
  sync->deleteAllInList();
  for (const auto& p : playlists) fm->removeItemAtPath(p, nullptr);
  stale["deleted"] = true;
  report_["stale"] = stale;
  out("Stale files deleted.");
}

int Export::run() {
  load();
  plan();
  if (o_.dryRun) {
    if (cleanUp_) clean();
    report_["status"] = "dry run";
    if (!text_) std::cout << report_.dump(2) << "\n";
    return kExitOk;
  }
  if (!std::getenv("ExtScriptParam")) setenv("ExtScriptParam", mode_ == 1 ? "1" : "2", 0);
  ui::SelectorText prompts;
  out(prompts.confirmPrompt());
  if (!confirm("Start the export?")) {
    out("Nothing was changed.");
    return kExitPartial;
  }
  copy();
  covers();
  playlistFiles();
  if (cleanUp_ && !cleanedFirst_) clean();
  bool ok = failures_.empty();
  report_["status"] = ok ? "done" : "some tracks could not be copied";
  out(ok ? prompts.completionPrompt() + " Done." : prompts.failurePrompt() + " Finished with problems.");
  if (!text_) std::cout << report_.dump(2) << "\n";
  return ok ? kExitOk : kExitPartial;
}

}  // namespace

int runExport(const ExportOptions& options) {
  try {
    Export run(options);
    return run.run();
  } catch (const UsageError& e) {
    std::cerr << "tessaline export: " << e.message << "\n";
    return kExitUsage;
  } catch (const std::runtime_error& e) {
    std::cerr << "tessaline export: " << e.what() << "\n";
    return kExitPartial;
  }
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
  cmd->add_flag("--yes,-y", options->yes, "Answer yes to every question");
  auto* noClean = cmd->add_flag("--no-clean", options->noClean, "Keep files that no exported playlist needs");
  cmd->add_flag("--clean", options->clean, "Also clean up when exporting chosen playlists only")->excludes(noClean);
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
