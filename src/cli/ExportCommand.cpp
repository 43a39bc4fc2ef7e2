// `tessaline export`: the export session rendered as text for a person,
// or as one JSON report, with the questions, the progress line and the
// handling of Ctrl-C that belong to a terminal.
#include "cli/ExportCommand.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>
#include <variant>

#include "base/Configuration.h"
#include "base/Log.h"
#include "base/StopSignals.h"
#include "cli/CommandLine.h"
#include "cli/PlayerSettingsText.h"
#include "cli/Terminal.h"
#include "library/PathMap.h"
#include "session/DestinationLayout.h"
#include "session/ExportReport.h"
#include "session/ExportSession.h"
#include "session/MediaConvert.h"

namespace app {
namespace {

using nlohmann::json;

const char* const kNewNames = " (composed, keeping \"$\" and \";\", no leading dot)";

// How a run ended short of its own end: the report's status word, what
// to tell the user, and the exit status.
struct Ending {
  std::string status;
  std::string message;
  int exitStatus;
};

int exitStatusOf(base::Status::Kind kind) {
  switch (kind) {
    case base::Status::Kind::kUsage:
      return kExitUsage;
    case base::Status::Kind::kBusy:
      return kExitBusy;
    case base::Status::Kind::kDoesNotFit:
      return kExitDoesNotFit;
    case base::Status::Kind::kDeclined:
      return kExitDeclined;
    case base::Status::Kind::kFailed:
      break;
  }
  return kExitPartial;
}

const char* statusWord(base::Status::Kind kind) {
  switch (kind) {
    case base::Status::Kind::kUsage:
      return "usage error";
    case base::Status::Kind::kBusy:
      return "busy";
    case base::Status::Kind::kDoesNotFit:
      return "does not fit";
    case base::Status::Kind::kDeclined:
      return "declined";
    case base::Status::Kind::kFailed:
      break;
  }
  return "error";
}

Ending endingOf(const base::Status& e) {
  return {statusWord(e.kind()), e.message(), exitStatusOf(e.kind())};
}

// What the export is about to do to the drive, in the figures of the
// plan: the question (asking) or, answered by --yes, the statement.
std::string whatHappens(const ExportPlan& plan, std::string root, bool asking) {
  if (root.size() > 1 && root.back() == '/') root.pop_back();
  size_t tracks = plan.tracksToCopy, files = plan.playlistFilesToWrite;
  std::string writing = numberText(files) + (files == 1 ? " playlist file" : " playlist files");
  std::string copying = (asking ? "Copy " : "Copying ") + numberText(tracks) +
                        (tracks == 1 ? " track (" : " tracks (") +
                        (plan.tracksToConvert > 0 ? "about " : "") + byteText(plan.bytesToCopy) +
                        ")";
  std::string what = tracks == 0  ? (asking ? "Write " : "Writing ") + writing
                     : files == 0 ? copying
                                  : copying + " and " + (asking ? "write " : "writing ") + writing;
  return what + " to " + root + (asking ? "?" : ".");
}

class ExportRun {
 public:
  ExportRun(const ExportOptions& o, const Services& services)
      : o_(o), text_(!o.json), config_(*services.configuration), session_(o, services) {}

  // The exit status, or how the run ended short.
  std::variant<int, Ending> run();
  json& report() { return report_; }
  ExportSession& session() { return session_; }

 private:
  // What a person reads: not with --quiet or --json.
  void out(const std::string& line) {
    if (text_ && !o_.quiet) say(line);
  }
  // What went wrong: also with --quiet.
  void problem(const std::string& line) {
    if (text_) say(line);
  }
  // Long lists (the plan's table, the stale and missing files) go out in
  // blocks, a write for many lines; every other line goes out as it
  // happens, so that a pipe sees each status line when it is said.
  class Block {
   public:
    explicit Block(ExportRun& run) : run_(run), outer_(std::exchange(run.inBlock_, true)) {}
    ~Block() {
      if (outer_) return;
      run_.inBlock_ = false;
      run_.emit();
    }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

   private:
    ExportRun& run_;
    bool outer_;
  };
  void say(const std::string& line) {
    pending_ += line;
    pending_ += '\n';
    if (!inBlock_ || pending_.size() >= kBlockBytes) emit();
  }
  // A reader that went away (`| head`) stops the export as Ctrl-C would.
  void emit() {
    if (pending_.empty()) return;
    std::cout.write(pending_.data(), static_cast<std::streamsize>(pending_.size()));
    std::cout.flush();
    pending_.clear();
    if (!std::cout || std::ferror(stdout)) stop_.request(base::StopCause::kOutputClosed);
    stop_.checkOutput();
  }
  static constexpr size_t kBlockBytes = 64 * 1024;
  void verbose(const std::string& line) {
    if (o_.verbose) out(line);
  }
  // --json asks nothing: without --yes every answer is no.
  bool confirm(const std::string& question) {
    return o_.yes || (!o_.json && askYesNo(question, stop_.flag()));
  }
  void showMissingSources(const ExportPlan& plan);
  void listStale(const std::vector<const StaleItem*>& items, const std::string& lead,
                 const std::string& tail = "");
  std::string onDrive(const std::string& path) const;
  void showPlan(const ExportPlan& plan);
  // Says which places the run could not look at; how many.
  size_t tellNotLookedAt();
  void showPlayer();
  std::optional<Ending> copy();
  void playlistFiles();
  std::optional<Ending> cleanUp();
  std::optional<Ending> interrupted();

  const ExportOptions& o_;
  bool text_;
  // Installed for the whole run: a stop during the load or the plan is
  // answered as one during the copy.
  base::StopSignals stop_;
  const base::Configuration& config_;
  ExportSession session_;
  json report_ = json::object();
  const ExportPlan* plan_ = nullptr;
  uint64_t copied_ = 0;
  size_t tracksOnDrive_ = 0;
  size_t notCopied_ = 0;
  std::set<std::string> missingSources_;  // told in the plan, not again as copy failures
  size_t playlistFailures_ = 0;
  size_t deleteFailures_ = 0;
  size_t coverFailures_ = 0;
  bool cleanedFirst_ = false;
  bool copyStarted_ = false;
  std::optional<size_t> playlistsWritten_;
  std::optional<std::pair<size_t, size_t>> cleanStopped_;  // deleted, of how many
  // Lines said and not yet written, and whether a Block is open (lines
  // then wait for it to end).
  std::string pending_;
  bool inBlock_ = false;
};

size_t ExportRun::tellNotLookedAt() {
  std::vector<base::FileError> failures = session_.notLookedAt();
  if (failures.empty()) return 0;
  problem(countText(failures.size(), "place", "places") +
          " could not be looked at, and were taken as absent:");
  json listed = json::array();
  for (const auto& f : failures) {
    problem("  " + f.localizedDescription);
    listed.push_back({{"path", f.path}, {"reason", f.localizedDescription}});
  }
  report_["notLookedAt"] = listed;
  return failures.size();
}

// What the drive's .is_audio_player set, and where each setting came
// from; its unreadable lines also with --quiet.
void ExportRun::showPlayer() {
  const session::PlayerSettings& s = session_.playerSettings();
  report_["player"] = playerSettingsJson(s);
  if (!s.profileFound) return;
  Block block(*this);
  out("The drive's player (" + session_.root() + "/" + session::kPlayerProfileFile + "):");
  for (const auto& line : playerSettingsLines(s, "  ")) {
    if (line.find(" (ignored)") != std::string::npos) {
      problem(line);
    } else {
      out(line);
    }
  }
}

void ExportRun::showPlan(const ExportPlan& plan) {
  Block block(*this);
  if (!plan.cleanUpRefusal.empty()) {
    out("No clean-up: " + plan.cleanUpRefusal + ", so nothing on the drive is judged stale.");
  }
  report_.update(planReport(plan));
  // The table fits the terminal: the bar goes first, then the names are
  // cut.
  bool unicode = unicodeWanted(config_);
  size_t width = stdoutIsTerminal() ? static_cast<size_t>(terminalColumns(1, config_)) : 120;
  const size_t fixed = 2 + 1 + 7 + 1 + 12 + 1 + 12;
  size_t nameWidth = 8;
  for (const auto& p : plan.playlists)
    nameWidth = std::max(nameWidth, std::min<size_t>(displayWidth(p.name), 40));
  size_t room = width > fixed + 1 ? width - fixed - 1 : 0;
  nameWidth = std::max<size_t>(std::min(nameWidth, room), 8);
  int barWidth =
      room > nameWidth + 2 ? static_cast<int>(std::min<size_t>(20, room - nameWidth - 2)) : 0;
  if (barWidth < 5) barWidth = 0;
  out("Plan for " + session_.root() + ":");
  char header[256];
  snprintf(header, sizeof header, " %7s %12s %12s", "Tracks", "To copy", "This export");
  out("  " + fitToWidth("Playlist", nameWidth) + header);
  for (const auto& p : plan.playlists) {
    char line[512];
    snprintf(line, sizeof line, " %7zu %12s %12s", p.tracks, byteText(p.bytesToCopy).c_str(),
             byteText(p.bytesThisExport).c_str());
    std::string row = "  " + fitToWidth(p.name, nameWidth) + line;
    if (barWidth > 0) {
      row += "  " + bar(static_cast<double>(p.bytesThisExport),
                        static_cast<double>(std::max<uint64_t>(plan.bytesToCopy, 1)), barWidth,
                        unicode);
    }
    out(row);
  }
  if (!plan.skippedBuiltIn.empty()) {
    const std::string& example =
        plan.skippedBuiltIn.size() > 1 ? plan.skippedBuiltIn[1] : plan.skippedBuiltIn[0];
    out(std::string(plan.playlists.empty() ? "No playlists of your own to export: s" : "S") +
        "kipped " +
        countText(plan.skippedBuiltIn.size(), "built-in playlist", "built-in playlists") +
        " (the whole library, Music, Movies...). To export one, name it: --playlist '" + example +
        "' (tessaline playlists lists them).");
  }
  size_t ours = 0;
  for (const auto& item : plan.stale) ours += item.ours && !item.folder;
  if (plan.tracksToConvert > 0) {
    out("To convert for the drive's player: " + countText(plan.tracksToConvert, "track", "tracks") +
        " to " + plan.conversion + " (about " + byteText(plan.convertedBytes) +
        ", estimated from their playing time)");
  }
  out((plan.bytesToCopy == 0
           ? std::string("Nothing to copy")
           : "Total to copy: " + std::string(plan.tracksToConvert > 0 ? "about " : "") +
                 byteText(plan.bytesToCopy)) +
      (plan.freeSpaceKnown ? "; free on the drive: " + byteText(plan.freeSpace)
                           : std::string("; free space unknown (the drive does not tell)")) +
      (plan.cleanUp && ours > 0
           ? "; stale files: " + std::to_string(ours) + " (" + byteText(plan.staleBytes) + ")"
           : ""));
  if (!plan.unplayable.empty()) {
    out("Not playable on the drive (copied all the same): " +
        countText(plan.unplayable.size(), "track", "tracks") + ":");
    for (size_t i = 0; i < plan.unplayable.size(); ++i) {
      const auto& u = plan.unplayable[i];
      if (i == 10 && !o_.verbose) {
        out("  ... and " + std::to_string(plan.unplayable.size() - 10) +
            " more (-v lists them all)");
        break;
      }
      out("  " + (u.artist.empty() ? "" : u.artist + " - ") + u.title + ": " + u.reason);
    }
  }
  for (const auto& b : plan.copiedBeside) {
    out(b.changedCopy ? "Kept your changed file " + b.kept +
                            " as it is; copied the track again as " + b.copiedAs + "."
                      : "A file not written by the exporter stands at " + b.kept +
                            " and stays as it is; the track goes to " + b.copiedAs + ".");
  }
  if (!plan.toRename.empty()) {
    out("Renamed when exported: " + countText(plan.toRename.size(), "track", "tracks") +
        " on the drive, to the names now given" + kNewNames + ".");
  }
  if (!plan.toMove.empty()) {
    out("Moved when exported: " + countText(plan.toMove.size(), "track", "tracks") +
        " on the drive, from a music folder the drive's profile no longer names into " +
        session_.musicFolderBelowRoot() + "/.");
  }
  showMissingSources(plan);
  if (!plan.cannotHold.empty()) {
    problem("Left out: " + countText(plan.cannotHold.size(), "track cannot", "tracks cannot") +
            " be copied to this drive" +
            (plan.fileSystem.empty() ? "" : " (" + plan.fileSystem + ")") + ":");
    for (const auto& c : plan.cannotHold)
      problem("  " + c.artist + " - " + c.title + " (" + byteText(c.bytes) + "): " + c.reason);
  }
  const LeftOut& l = plan.leftOut;
  // The files not on this computer are the missing ones above: counted
  // there for the tracks to copy, not again for the whole library.
  if (l.tracksWithoutFile || l.itemsNamingMissingTrack) {
    out("Note: " + countText(l.tracksWithoutFile, "track has", "tracks have") +
        " no file (cloud or remote), " +
        countText(l.itemsNamingMissingTrack, "playlist entry names", "playlist entries name") +
        " a track the library lacks.");
  }
  if (l.tracksWithoutIdentifier || l.playlistsWithoutIdentifier) {
    out("Note: " + countText(l.tracksWithoutIdentifier, "track", "tracks") + " and " +
        countText(l.playlistsWithoutIdentifier, "playlist", "playlists") +
        " were left out: their persistent identifier is missing or repeated.");
  }
}

// A library from another computer names files that are not here: say
// so before anything is copied, and how to point it at them.
void ExportRun::showMissingSources(const ExportPlan& plan) {
  const auto& missing = plan.missingSources;
  json entry = {{"count", missing.size()}};
  if (missing.empty()) {
    report_["missingSources"] = entry;
    return;
  }
  std::vector<std::string> bases;
  std::filesystem::path library = std::filesystem::absolute(session_.libraryFile()).parent_path();
  bases.push_back(library.string());
  bases.push_back(library.parent_path().string());
  if (const std::string& home = config_.home; !home.empty()) {
    bases.push_back(home + "/Music");
    bases.push_back(home);
  }
  auto suggestion = PathMap::suggest(missing, session_.library().musicFolderSourcePath, bases);
  entry["examples"] = std::vector<std::string>(
      missing.begin(), missing.begin() + std::min<size_t>(missing.size(), 5));
  missingSources_.insert(missing.begin(), missing.end());
  // The folder is here, and the suggested one holds none of the files
  // either (it may be the same folder): a mapping would change nothing.
  // Its files were moved or deleted.
  auto foundThere = [&] {
    std::error_code ec;
    if (suggestion->to.empty() || std::filesystem::equivalent(suggestion->to, suggestion->from, ec))
      return false;
    for (const auto& m : missing) {
      if (m.rfind(suggestion->from + "/", 0) == 0 &&
          std::filesystem::exists(suggestion->to + m.substr(suggestion->from.size()), ec))
        return true;
    }
    return false;
  };
  std::error_code ec;
  if (suggestion && std::filesystem::is_directory(suggestion->from, ec) && !foundThere()) {
    size_t under = 0;
    for (const auto& m : missing) under += m.rfind(suggestion->from + "/", 0) == 0;
    entry["missingFrom"] = suggestion->from;
    problem("Missing: " + countText(under, "file is", "files are") + " missing from " +
            suggestion->from +
            (under < missing.size()
                 ? " and " + std::to_string(missing.size() - under) + " from elsewhere"
                 : "") +
            ", such as " + missing.front() + ".");
    report_["missingSources"] = entry;
    return;
  }
  problem("Missing: " + countText(missing.size(), "track to copy has", "tracks to copy have") +
          " no file on this computer, such as " + missing.front() + ".");
  if (suggestion) {
    std::string to = suggestion->to.empty() ? "DIR" : suggestion->to;
    entry["suggestedMapPrefix"] = suggestion->from + "=" + to;
    problem("  Most of them lie under " + suggestion->from + ". If that folder is " +
            (suggestion->to.empty() ? "somewhere on this computer, say where (DIR):"
                                    : "the one at " + to + ", add:"));
    problem("    --map-prefix '" + suggestion->from + "=" + to + "'");
  }
  report_["missingSources"] = entry;
}

std::string ExportRun::onDrive(const std::string& path) const {
  const std::string& root = session_.root();
  return path.rfind(root + "/", 0) == 0 ? path.substr(root.size() + 1) : path;
}

// "Lead (N files and M folders, SIZE)tail:" and the files, relative to the
// drive: all with --verbose, else the first ten in order.
void ExportRun::listStale(const std::vector<const StaleItem*>& items, const std::string& lead,
                          const std::string& tail) {
  Block block(*this);
  std::vector<std::string> files;
  size_t folders = 0;
  uint64_t bytes = 0;
  for (const StaleItem* item : items) {
    if (item->folder) {
      ++folders;
      continue;
    }
    bytes += item->bytes;
    files.push_back(onDrive(item->path) + (item->changed ? " (changed since the exporter wrote it)"
                                           : item->possiblyYours
                                               ? " (possibly yours: only an older record names it)"
                                               : ""));
  }
  std::sort(files.begin(), files.end());
  out(lead + " (" + countText(files.size(), "file", "files") +
      (folders ? " and " + countText(folders, "folder", "folders") : "") + ", " + byteText(bytes) +
      ")" + tail + ":");
  size_t shown = o_.verbose ? files.size() : std::min<size_t>(files.size(), 10);
  for (size_t i = 0; i < shown; ++i) out("  " + files[i]);
  if (shown < files.size())
    out("  ... and " + std::to_string(files.size() - shown) + " more (-v lists them all)");
}

std::optional<Ending> ExportRun::copy() {
  // The progress line is drawn on the terminal, never into the output,
  // and only where it can be redrawn in place.
  bool live = text_ && !o_.quiet && stderrIsTerminal();
  bool unicode = unicodeWanted(config_), erase = terminalCanErase(config_);
  auto start = std::chrono::steady_clock::now();
  size_t drawn = 0;
  auto show = [&](const CopyProgress& p) {
    stop_.checkOutput();
    if (!live || !p.copying) return;
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double rate = elapsed > 0.5 ? static_cast<double>(p.done) / elapsed : 0;
    std::string tracks =
        p.tracks == 0 ? std::string()
                      : numberText(p.tracksDone) + " of " + countText(p.tracks, "track", "tracks") +
                            (p.converts == 0 ? std::string()
                                             : " (" + numberText(p.convertsDone) + " of " +
                                                   numberText(p.converts) + " converted)");
    std::string line =
        progressLine(p.done, p.total, rate, terminalColumns(2, config_), unicode, tracks);
    size_t width = displayWidth(line);
    std::cerr << "\r" << line;
    if (erase) {
      std::cerr << "\033[K";
    } else if (drawn > width) {
      std::cerr << std::string(drawn - width, ' ');
    }
    std::cerr << std::flush;
    drawn = width;
  };
  if (plan_->bytesToCopy > 0) out("Copying...");
  copyStarted_ = true;
  base::Result<CopyOutcome> copied = session_.copy(show, stop_.flag());
  if (live && drawn > 0)
    std::cerr << "\r" << (erase ? "\033[K" : std::string(drawn, ' ') + "\r") << std::flush;
  if (!copied) return endingOf(copied.error());
  CopyOutcome& c = *copied;
  const auto& renamed = session_.renamed();
  report_.update(renameReport(renamed));
  if (!renamed.done.empty()) {
    out("Renamed " + countText(renamed.done.size(), "track", "tracks") +
        " on the drive to the names now given" + kNewNames + ".");
    for (const auto& [from, to] : renamed.done) verbose("  renamed " + from + " to " + to);
  }
  if (!renamed.moved.empty()) {
    out("Moved " + countText(renamed.moved.size(), "track", "tracks") + " on the drive into " +
        session_.musicFolderBelowRoot() + "/.");
    for (const auto& [from, to] : renamed.moved) verbose("  moved " + from + " to " + to);
  }
  if (!renamed.notMoved.empty()) {
    out(countText(renamed.notMoved.size(), "file was", "files were") + " not moved into " +
        session_.musicFolderBelowRoot() + "/ but made anew there:");
    for (const auto& line : renamed.notMoved) out("  " + line);
  }
  if (!renamed.failed.empty()) {
    problem(countText(renamed.failed.size(), "track keeps its old name",
                      "tracks keep their old names") +
            " on the drive (the rename failed):");
    for (const auto& line : renamed.failed) problem("  " + line);
  }
  copied_ = c.bytesCopied;
  tracksOnDrive_ = c.tracksOnDrive;
  notCopied_ = c.notCopied.size();
  report_.update(copyReport(c));
  if (o_.verify) report_["verified"] = {{"files", c.verified}, {"withoutChecksum", c.unverified}};
  for (const auto& path : c.copied) verbose("  copied " + path);
  if (c.copied.empty()) {
    out("Nothing to copy: every track is on the drive" +
        std::string(c.notCopied.empty() ? "." : " or could not be copied."));
  } else {
    out("Copied " + countText(c.copied.size(), "track", "tracks") + " (" + byteText(c.bytesCopied) +
        (c.converted > 0 ? "; " + numberText(c.converted) + " converted" : std::string()) +
        ") in " + durationText(c.seconds) + ".");
  }
  if (o_.verify && !c.copied.empty()) {
    out("Verified " + countText(c.verified, "file", "files") + " read back from the drive" +
        (c.unverified ? " (" + std::to_string(c.unverified) + " without a checksum to compare with)"
                      : std::string()) +
        ".");
  }
  // The files the plan already named as missing are not listed again.
  size_t missing = 0;
  std::vector<const TrackFailure*> failures;
  for (const auto& f : c.notCopied) {
    if (missingSources_.count(f.location)) {
      ++missing;
    } else {
      failures.push_back(&f);
    }
  }
  if (!failures.empty()) {
    problem(countText(failures.size(), "track", "tracks") + " could not be copied:");
    for (const auto* f : failures) problem("  " + f->artist + " - " + f->title + ": " + f->reason);
  }
  if (missing > 0) {
    problem(countText(missing, "track was", "tracks were") + " not copied: " +
            (missing == 1 ? "its file is" : "their files are") + " missing (see above).");
  }
  return std::nullopt;
}

void ExportRun::playlistFiles() {
  PlaylistOutcome p = session_.playlistFiles();
  report_.update(playlistReport(p));
  playlistFailures_ = p.notWritten.size();
  playlistsWritten_ = p.written.size();
  out("Playlist files: " + std::to_string(p.written.size()) + " written to " + p.folder +
      (p.unchanged.empty() ? "" : ", " + std::to_string(p.unchanged.size()) + " unchanged") +
      (o_.absolutePaths ? "."
       : o_.playlistFormat.find("-root") != std::string::npos
           ? " (entries from the drive's root)."
           : " (entries relative to the playlist file)."));
  for (const auto& [users, ours] : p.besideUsers) {
    out("  " + users + " is not the exporter's and stays as it is: this playlist went to " + ours +
        ".");
  }
  for (const auto& name : p.trimmed)
    out("  " + name + " (kept as it was) lost the entries whose file is gone from the drive.");
  size_t away = p.entriesUnchecked + p.entriesMissing;
  if (away > 0) {
    out("Left out of the playlist files: " + countText(away, "entry", "entries") +
        " whose track is not on the drive (" + std::to_string(p.entriesUnchecked) + " unchecked, " +
        std::to_string(p.entriesMissing) + " missing).");
  }
  if (!p.notEncodable.empty()) {
    problem(
        "Left out of the " + p.extension +
        " files: " + countText(p.notEncodable.size(), "track", "tracks") +
        " whose name on the drive Windows-1252 cannot spell (--playlist-format m3u8 lists them):");
    for (size_t i = 0; i < p.notEncodable.size(); ++i) {
      if (i == 10 && !o_.verbose) {
        problem("  ... and " + std::to_string(p.notEncodable.size() - 10) +
                " more (-v lists them all)");
        break;
      }
      problem("  " + p.notEncodable[i]);
    }
  }
  if (!p.notWritten.empty()) {
    problem(countText(p.notWritten.size(), "playlist file", "playlist files") +
            " could not be written (the old ones, if any, are kept):");
    for (const auto& f : p.notWritten) problem("  " + f.name + ": " + f.reason);
  }
}

std::optional<Ending> ExportRun::cleanUp() {
  const ExportPlan& plan = *plan_;
  std::vector<std::string> kept;
  size_t ours = 0;
  for (const auto& item : plan.stale) {
    if (item.ours) {
      ++ours;
    } else {
      kept.push_back(item.path);
    }
  }
  std::vector<const StaleItem*> ourItems, keptItems;
  for (const auto& item : plan.stale) (item.ours ? ourItems : keptItems).push_back(&item);
  if (plan.stale.empty()) {
    out("No stale files on the drive.");
  } else if (ours > 0) {
    listStale(ourItems, "Stale files");
  } else {
    out("No stale files of the exporter's own on the drive.");
  }
  if (!kept.empty()) {
    listStale(keptItems, "Kept", ", not written by the exporter (--clean-all deletes them too)");
  }
  bool remove =
      ours > 0 && !o_.dryRun && confirm(o_.cleanAll ? "Delete them all?" : "Delete them?");
  // With nothing of its own to delete, a real export still lets the record
  // forget the files that became the user's (changed since written).
  bool changing = !o_.dryRun && !(o_.json && !o_.yes);
  CleanOutcome c = session_.clean(remove || (ours == 0 && changing), stop_.flag());
  std::vector<std::string> notDeleted;
  for (const auto& i : c.items) {
    if (i.item.ours && !i.deleted && !i.kept && !i.notReached && c.attempted)
      notDeleted.push_back(i.item.path + ": " + i.reason);
  }
  deleteFailures_ = c.notDeleted;
  for (const auto& i : c.items) {
    // Judged again as it was about to go: something changed it since.
    if (c.attempted && i.item.ours && i.kept) out("  Kept " + i.item.path + ": " + i.reason + ".");
  }
  if (c.attempted) {
    for (const auto& i : c.items)
      if (i.deleted) verbose("  deleted " + i.item.path);
    if (notDeleted.empty()) {
      // When stopped, interrupted() says how far it got.
      if (!c.stopped && c.deleted > 0) out("Stale files deleted.");
    } else {
      problem(countText(notDeleted.size(), "stale item", "stale items") + " could not be deleted:");
      for (const auto& line : notDeleted) problem("  " + line);
    }
  } else if (ours > 0) {
    out("Stale files kept.");
  }
  report_["stale"] = staleReport(plan, c);
  if (c.stopped) {
    size_t owned = 0;
    for (const auto& i : c.items) owned += i.item.ours;
    cleanStopped_ = {c.deleted, owned};
  }
  // Also a stop during the listing or at the question.
  return interrupted();
}

// Says what was done and what was not, in the order the export does it.
std::optional<Ending> ExportRun::interrupted() {
  if (!stop_.requested()) return std::nullopt;
  std::string done;
  if (!copyStarted_) {
    done = "nothing was copied";
  } else {
    done = byteText(copied_) + " copied (" + countText(tracksOnDrive_, "track", "tracks") +
           " on the drive), " + countText(notCopied_, "track", "tracks") +
           " not copied; unfinished copies were removed; " +
           (playlistsWritten_
                ? countText(*playlistsWritten_, "playlist file", "playlist files") + " written"
                : std::string("no playlist file written (the old ones are kept)"));
  }
  if (cleanStopped_) {
    done += "; the clean-up stopped after deleting " + std::to_string(cleanStopped_->first) +
            " of " + countText(cleanStopped_->second, "stale item", "stale items") +
            " (the rest are still there)";
  } else if (plan_ != nullptr && plan_->cleanUp && !report_.contains("stale")) {
    done += "; no stale file was deleted";
  }
  std::string why = stop_.cause() == base::StopCause::kOutputClosed
                        ? "Stopped because standard output was closed: "
                        : "Interrupted: ";
  return Ending{"interrupted", why + done + ". The next export goes on from here.",
                kExitInterrupted};
}

std::variant<int, Ending> ExportRun::run() {
  if (auto loaded = session_.load(); !loaded) return endingOf(loaded.error());
  report_["library"] = session_.libraryFile();
  report_["libraryKind"] = session_.library().sourceKind;
  for (const std::string& note : session_.library().notes) out("Note: " + note);
  for (const auto& [name, why] : session_.library().notExportable)
    out("Not exported: the playlist \"" + name + "\": " + why + ".");
  report_["destination"] = session_.root();
  report_["mode"] = session_.mode();
  showPlayer();
  if (auto end = interrupted()) return *end;
  // --json without --yes asks nothing, so it changes nothing either.
  bool onlyLooking = o_.dryRun || (o_.json && !o_.yes);
  if (!onlyLooking) {
    auto prepared = session_.prepare();
    if (!prepared) return endingOf(prepared.error());
    size_t removed = *prepared;
    report_["unfinishedCopiesRemoved"] = removed;
    if (removed) {
      out("Removed " + countText(removed, "unfinished copy", "unfinished copies") +
          " left by an earlier export.");
    }
  }
  auto planned = session_.plan();
  if (!planned) return endingOf(planned.error());
  plan_ = *planned;
  if (auto end = interrupted()) return *end;
  showPlan(*plan_);
  if (!plan_->fits()) {
    if (!plan_->fitsAfterCleanUp()) {
      return Ending{"does not fit",
                    "The export needs " + byteText(plan_->spaceNeeded) +
                        " but the drive has only " + byteText(plan_->freeSpace) +
                        " free. Choose fewer playlists with --playlist.",
                    kExitDoesNotFit};
    }
    out("It fits only once the stale files are gone.");
  }
  if (onlyLooking) {
    if (plan_->cleanUp) {
      if (auto end = cleanUp()) return *end;
    }
    if (auto end = interrupted()) return *end;
    if (o_.dryRun) {
      report_["status"] = "dry run";
      return tellNotLookedAt() == 0 ? kExitOk : kExitPartial;
    }
    return endingOf(base::Status::of(
        base::Status::Kind::kDeclined,
        "Nothing was changed: --json asks no question, and without --yes the answer is no."));
  }
  if (!plan_->fits()) {
    if (!confirm("Remove the stale files first?")) {
      if (auto end = interrupted()) return *end;
      return endingOf(base::Status::of(base::Status::Kind::kDoesNotFit,
                                       "The export does not fit; nothing was copied."));
    }
    if (auto end = cleanUp()) return *end;
    cleanedFirst_ = true;
  }
  // Nothing is asked when nothing is to be written: stale files, if any,
  // have a question of their own.
  const bool writes = plan_->tracksToCopy > 0 || !plan_->toRename.empty() ||
                      !plan_->toMove.empty() || plan_->playlistFilesToWrite > 0;
  if (plan_->changesNothing())
    out("Nothing to change: the drive holds every track and playlist file as they should be.");
  if (writes && o_.yes) out(whatHappens(*plan_, session_.root(), false));
  if (writes && !confirm(whatHappens(*plan_, session_.root(), true))) {
    if (auto end = interrupted()) return *end;
    out("Nothing was changed.");
    report_["status"] = "declined";
    return kExitDeclined;
  }
  if (auto end = interrupted()) return *end;
  if (auto end = copy()) return *end;
  if (auto end = interrupted()) return *end;
  std::vector<app::CoverFailure> coversFailed;
  size_t covers = session_.covers(stop_.flag(), &coversFailed);
  report_["coverImages"] = covers;
  if (covers)
    out("Cover images: " + std::to_string(covers) + " \"" +
        session_.playerSettings().coverName.value + "\" written.");
  if (!coversFailed.empty()) {
    json failed = json::array();
    problem(countText(coversFailed.size(), "cover image", "cover images") + " not written:");
    for (const auto& f : coversFailed) {
      problem("  " + f.path + ": " + f.reason);
      failed.push_back({{"path", f.path}, {"reason", f.reason}});
    }
    report_["coverImagesNotWritten"] = failed;
    coverFailures_ = coversFailed.size();
  }
  if (auto end = interrupted()) return *end;
  playlistFiles();
  if (auto end = interrupted()) return *end;
  if (plan_->cleanUp && !cleanedFirst_) {
    if (auto end = cleanUp()) return *end;
  }
  bool ok = notCopied_ == 0 && playlistFailures_ == 0 && deleteFailures_ == 0 &&
            coverFailures_ == 0 && tellNotLookedAt() == 0;
  report_["status"] = ok ? "done" : "problems";
  if (ok) {
    problem("Done.");  // the final line, also with --quiet
  } else {
    problem("Finished with problems.");
  }
  return ok ? kExitOk : kExitPartial;
}

}  // namespace

int runExport(const ExportOptions& asked, const Services& services) {
  // The plan follows the load at once here.
  ExportOptions options = asked;
  options.sourcesWhileLoading = true;
  ExportRun run(options, services);
  int status = kExitOk;
  std::string problem;
  std::variant<int, Ending> ran = run.run();
  if (const Ending* end = std::get_if<Ending>(&ran)) {
    problem = end->message;
    run.report()["status"] = end->status;
    status = end->exitStatus;
  } else {
    status = std::get<int>(ran);
  }
  if (!problem.empty()) {
    run.report()["error"] = problem;
    std::cerr << "tessaline export: " << problem << "\n";
  }
  run.report()["exitStatus"] = status;
  // Names on a drive need not be UTF-8: they are shown with U+FFFD rather
  // than ending the report.
  if (options.json)
    std::cout << run.report().dump(2, ' ', false, json::error_handler_t::replace) << "\n";
  run.session().leaveTablesToExit();
  return status;
}

void registerExportCommand(CLI::App& cli, const Services& services) {
  auto options = std::make_shared<ExportOptions>();
  auto* cmd = cli.add_subcommand(
      "export", "Copy playlists and their files to the drive and write playlist files");
  addLibraryOption(
      *cmd, options->library,
      "The library: an iTunes-style XML export, Rhythmbox's rhythmdb.xml, a Strawberry or "
      "Clementine database, or a folder of playlist files; default: the first found in the "
      "usual places");
  addMusicDirOption(*cmd, options->musicDir);
  auto* to =
      addToOption(*cmd, options->to,
                  "The drive's folder: tracks go to DIR/Music, playlist files to DIR/Playlists "
                  "or where the drive's .is_audio_player says; default: the Tessaline volume "
                  "`tessaline drives` preselects");
  cmd->add_option(
         "--drive", options->drive,
         "Export to the Tessaline volume of this title (see tessaline drives) and remember it; "
         "not with --to")
      ->type_name("NAME")
      ->excludes(to);
  cmd->add_option("--playlist", options->playlists,
                  "Export only this playlist, or the playlists in this folder (repeatable; any "
                  "case); without it "
                  "every playlist of your own is exported (see tessaline playlists)")
      ->type_name("NAME");
  cmd->add_option(
         "--map-prefix", options->mapPrefixes,
         "Read files the library records under FROM from TO instead, for a library from another "
         "computer, "
         "e.g. '/Users/me/Music/iTunes/iTunes Media=/home/me/Music/iTunes/iTunes Media' or "
         "'C:/Users/Me/Music=/mnt/music' (the dry run suggests one)")
      ->type_name("FROM=TO");
  cmd->add_flag(
         "--remembered", options->remembered,
         "Export the playlists last ticked for this drive or folder in the window (tessaline "
         "gui); the clean-up removes the exporter's files the others needed")
      ->excludes("--playlist");
  cmd->add_flag(
      "--all-tracks", options->allTracks,
      "Copy and list unchecked tracks too (by default they are neither copied nor listed, "
      "and their copies are stale)");
  cmd->add_flag("--absolute-paths", options->absolutePaths,
                "Write playlist entries as absolute paths of this computer (by default they are "
                "relative to the "
                "playlist file, so they play wherever the drive is mounted)");
  auto* playlistFormat =
      cmd->add_option(
             "--playlist-format", options->playlistFormat,
             "Playlist files as m3u8 (UTF-8, entries relative to the file; the default), m3u "
             "(Windows-1252 with \\ between folders; tracks it cannot name are left out and "
             "listed), "
             "or either with entries from the drive's root (m3u8-root, m3u-root); default: what "
             "the "
             "drive's .is_audio_player asks for, else m3u8")
          ->type_name("FORMAT")
          ->check(CLI::IsMember({"m3u8", "m3u8-root", "m3u", "m3u-root"}));
  auto* formats =
      cmd->add_option(
             "--formats", options->playableFormats,
             "What the drive plays, comma-separated: file extensions, codec names (mp3, aac, alac, "
             "flac, "
             "vorbis, opus, pcm) or MIME types (audio/mpeg); the plan names other tracks (and "
             "protected .m4p ones); default: the drive's .is_audio_player, else these")
          ->type_name("LIST")
          ->delimiter(',')
          ->default_str("mp3,m4a,aac,flac,wav,ogg,opus");
  auto* convertTo =
      cmd->add_option(
             "--convert-to", options->convertTo,
             "Convert the tracks the drive cannot play (see --formats) to this codec "
             "instead of copying them as they are: mp3, aac (.m4a), opus or vorbis (.ogg), "
             "keeping their tags and cover; none copies them as they are even where the window "
             "chose a conversion (--remembered takes the window's choice otherwise)")
          ->type_name("CODEC")
          ->check(CLI::IsMember({"mp3", "aac", "opus", "vorbis", "none"}));
  cmd->add_option("--quality", options->quality,
                  "The conversion's quality: mp3 VBR level 0 (best) to 9 (default 2), aac and "
                  "opus kb/s (defaults 256 and 160), vorbis quality 0 to 10 (default 6)")
      ->type_name("N")
      ->needs(convertTo);
  cmd->add_flag("-n,--dry-run", options->dryRun,
                "Show the plan and the stale files; change nothing");
  cmd->add_flag(
      "--yes,-y", options->yes,
      "Answer yes to every question, including deleting stale files: files this exporter wrote "
      "that no "
      "exported playlist needs, its unfinished copies, and folders left empty by those deletions "
      "(with --clean-all, every stale file under DIR/Music and every other .m3u8 in "
      "the playlist folder)");
  auto* noClean =
      cmd->add_flag("--no-clean", options->noClean, "Keep files that no exported playlist needs");
  cmd->add_flag("--clean", options->clean,
                "Also clean up when exporting chosen playlists only: stale is then what no "
                "playlist file the exporter keeps on the drive needs; not with --no-clean")
      ->excludes(noClean);
  cmd->add_flag("--clean-all", options->cleanAll,
                "Also delete stale files the exporter did not write (for a drive used for nothing "
                "else); not with "
                "--no-clean")
      ->excludes(noClean);
  cmd->add_flag(
      "--verify", options->verify,
      "Read each copy back from the drive once it is flushed and compare it with what was "
      "written; a copy the drive returns otherwise is removed and reported");
  auto* verbose =
      cmd->add_flag("-v,--verbose", options->verbose, "List each file copied and deleted");
  cmd->add_flag("-q,--quiet", options->quiet, "Print only what went wrong; not with --verbose")
      ->excludes(verbose);
  addJsonFlag(
      *cmd, options->json,
      "Print a machine-readable report instead of text; it asks no question, so without --yes it "
      "only reports the plan and changes nothing (exit status 5)");
  auto log = std::make_shared<bool>(false);
  cmd->add_flag("--log", *log, "Also show the system log lines on standard error");
  cmd->footer(
      "Examples:\n"
      "  tessaline export --library ~/Music/iTunes/iTunes\\ Music\\ Library.xml --to "
      "/media/me/TESSALINE\n"
      "  tessaline export --to /media/me/TESSALINE --playlist 'Road Trip' --playlist Workout\n"
      "  tessaline export --to /media/me/TESSALINE --dry-run\n"
      "  tessaline export --library Library.xml --to /media/me/TESSALINE --yes --json\n"
      "\n"
      "Exit status:\n"
      "  0    done (a dry run too)\n"
      "  1    finished with problems: tracks, playlist files or stale files failed\n"
      "       or were left out (each is listed with its reason), or the\n"
      "       destination could not be written\n"
      "  2    usage or input error (a wrong option, a malformed library, a\n"
      "       destination that is not there); nothing was changed\n"
      "  3    does not fit: the export needs more than the drive has free\n"
      "  4    busy: another export to the same destination is under way\n"
      "  5    declined: the question was answered no (or --json came without --yes)\n"
      "  130  stopped by Ctrl-C, SIGTERM or a closed output at the next safe point;\n"
      "       the summary says what was done (a second Ctrl-C ends it at once)");
  cmd->callback([options, log, formats, playlistFormat, convertTo, &services] {
    options->playableFormatsGiven = formats->count() > 0;
    options->playlistFormatGiven = playlistFormat->count() > 0;
    options->convertToGiven = convertTo->count() > 0;
    if (options->convertTo == "none") {
      if (options->quality != -1)
        throw CLI::ValidationError("--quality", "there is no conversion to set it for");
      options->convertTo.clear();
    }
    if (auto problem = session::qualityProblem({options->convertTo, options->quality});
        options->quality != -1 && !problem.empty())
      throw CLI::ValidationError("--quality", problem);
    base::setLogStderrMode(*log ? base::StderrMode::kAlways : base::StderrMode::kNever);
    int status = runExport(*options, services);
    if (status != kExitOk) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
