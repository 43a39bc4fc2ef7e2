// `tessaline export`: the export session rendered as text for a person,
// or as one JSON report, with the questions, the progress line and the
// handling of Ctrl-C that belong to a terminal.
#include "app/ExportCommand.h"

#include <signal.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>

#include "app/CommandLine.h"
#include "app/ExportSession.h"
#include "app/Terminal.h"
#include "catalogue/CTrack.h"
#include "platform/Configuration.h"
#include "platform/Log.h"
#include "ui/SelectorText.h"

namespace app {
namespace {

using nlohmann::json;

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

// The export stopped short; the status word and exit status go with it.
struct Stopped {
  std::string status;
  std::string message;
  int exitStatus;
};

class ExportRun {
 public:
  explicit ExportRun(const ExportOptions& o) : o_(o), text_(!o.json), session_(o) {}

  int run();
  json& report() { return report_; }

 private:
  void out(const std::string& line) {
    if (text_) std::cout << line << "\n";
  }
  bool confirm(const std::string& question) { return o_.yes || askYesNo(question); }
  void showPlan(const ExportPlan& plan);
  void copy();
  void playlistFiles();
  void cleanUp();
  void stopIfInterrupted();

  const ExportOptions& o_;
  bool text_;
  ExportSession session_;
  json report_ = json::object();
  const ExportPlan* plan_ = nullptr;
  uint64_t copied_ = 0;
  size_t tracksOnDrive_ = 0;
  size_t notCopied_ = 0;
  size_t playlistFailures_ = 0;
  size_t deleteFailures_ = 0;
  bool cleanedFirst_ = false;
};

void ExportRun::showPlan(const ExportPlan& plan) {
  if (!plan.cleanUpRefusal.empty()) {
    report_["stale"] = {{"skipped", plan.cleanUpRefusal}};
    out("No clean-up: " + plan.cleanUpRefusal + ", so nothing on the drive is judged stale.");
  }
  json rows = json::array();
  size_t nameWidth = 8;
  for (const auto& p : plan.playlists) nameWidth = std::max(nameWidth, std::min<size_t>(displayWidth(p.name), 40));
  out("Plan for " + session_.root() + ":");
  char header[256];
  snprintf(header, sizeof header, " %7s %12s %12s", "Tracks", "To copy", "This export");
  out("  " + fitToWidth("Playlist", nameWidth) + header);
  for (const auto& p : plan.playlists) {
    rows.push_back({{"name", p.name},
                    {"id", p.id},
                    {"file", p.file},
                    {"tracks", p.tracks},
                    {"bytesToCopy", p.bytesToCopy},
                    {"bytesThisExport", p.bytesThisExport}});
    char line[512];
    snprintf(line, sizeof line, " %7zu %12s %12s  %s", p.tracks, byteText(p.bytesToCopy).c_str(),
             byteText(p.bytesThisExport).c_str(),
             bar(static_cast<double>(p.bytesThisExport), static_cast<double>(std::max<uint64_t>(plan.bytesToCopy, 1)),
                 20)
                 .c_str());
    out("  " + fitToWidth(p.name, nameWidth) + line);
  }
  report_["playlists"] = rows;
  report_["bytesToCopy"] = plan.bytesToCopy;
  report_["freeSpace"] = plan.freeSpace;
  out("Total to copy: " + byteText(plan.bytesToCopy) + "; free on the drive: " + byteText(plan.freeSpace) +
      (plan.cleanUp ? "; stale files: " + byteText(plan.staleBytes) : ""));
  const LeftOut& l = plan.leftOut;
  report_["leftOut"] = {{"tracksWithoutFile", l.tracksWithoutFile},
                        {"tracksNotOnThisComputer", l.tracksNotOnThisComputer},
                        {"itemsNamingMissingTrack", l.itemsNamingMissingTrack},
                        {"tracksWithoutIdentifier", l.tracksWithoutIdentifier},
                        {"playlistsWithoutIdentifier", l.playlistsWithoutIdentifier}};
  if (l.tracksNotOnThisComputer || l.tracksWithoutFile || l.itemsNamingMissingTrack) {
    out("Note: " + std::to_string(l.tracksWithoutFile) + " tracks have no file (cloud or remote), " +
        std::to_string(l.tracksNotOnThisComputer) + " are not on this computer, " +
        std::to_string(l.itemsNamingMissingTrack) + " playlist entries name a track the library lacks.");
  }
  if (l.tracksWithoutIdentifier || l.playlistsWithoutIdentifier) {
    out("Note: " + std::to_string(l.tracksWithoutIdentifier) + " tracks and " +
        std::to_string(l.playlistsWithoutIdentifier) +
        " playlists were left out: their persistent identifier is missing or repeated.");
  }
}

void ExportRun::copy() {
  bool live = text_ && stdoutIsTerminal();
  auto start = std::chrono::steady_clock::now();
  auto show = [&](const CopyProgress& p) {
    if (!live || !p.copying) return;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double rate = elapsed > 0 ? static_cast<double>(p.done) / elapsed : 0;
    std::string eta = rate > 0 && p.total > p.done ? durationText(static_cast<double>(p.total - p.done) / rate) : "-";
    std::cout << "\r  " << bar(static_cast<double>(p.done), static_cast<double>(p.total), 30) << " "
              << byteText(p.done) << " of " << byteText(p.total) << ", " << byteText(static_cast<uint64_t>(rate))
              << "/s, " << eta << " left   " << std::flush;
  };
  out(plan_->playlists.empty() ? "Nothing to copy." : "Copying...");
  CopyOutcome c = session_.copy(show, &gInterrupted);
  if (live) std::cout << "\r\033[K";
  copied_ = c.bytesCopied;
  tracksOnDrive_ = c.tracksOnDrive;
  notCopied_ = c.notCopied.size();
  json failed = json::array();
  for (const auto& f : c.notCopied) {
    json entry = {{"title", f.title},           {"artist", f.artist}, {"source", f.source},
                  {"location", f.location},     {"destination", f.destination}, {"reason", f.reason}};
    if (f.code != 0) {
      entry["path"] = f.path;
      entry["errno"] = f.code;
    }
    failed.push_back(entry);
  }
  report_["bytesCopied"] = c.bytesCopied;
  report_["notCopied"] = failed;
  report_["uncheckedNotCopied"] = c.uncheckedNotCopied;
  out("Copied " + byteText(c.bytesCopied) + " in " + durationText(c.seconds) + ".");
  if (!c.notCopied.empty()) {
    out(std::to_string(c.notCopied.size()) + " tracks could not be copied:");
    for (const auto& f : c.notCopied) out("  " + f.artist + " - " + f.title + ": " + f.reason);
  }
}

void ExportRun::playlistFiles() {
  PlaylistOutcome p = session_.playlistFiles();
  json failures = json::array();
  for (const auto& f : p.notWritten) failures.push_back({{"name", f.name}, {"file", f.file}, {"reason", f.reason}});
  playlistFailures_ = p.notWritten.size();
  report_["playlistFiles"] = p.written;
  report_["playlistFilesNotWritten"] = failures;
  out("Playlist files: " + std::to_string(p.written.size()) + " written to " + p.folder + ".");
  if (!p.notWritten.empty()) {
    out(std::to_string(p.notWritten.size()) + " playlist files could not be written (the old ones, if any, are kept):");
    for (const auto& f : p.notWritten) out("  " + f.name + ": " + f.reason);
  }
}

void ExportRun::cleanUp() {
  const ExportPlan& plan = *plan_;
  json files = json::array(), playlists = json::array(), kept = json::array();
  uint64_t keptBytes = 0;
  size_t ours = 0;
  for (const auto& item : plan.stale) {
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
                {"bytes", plan.staleBytes},
                {"deleted", ours == 0},
                {"kept", {{"reason", "not written by the exporter"}, {"files", kept}, {"bytes", keptBytes}}}};
  if (plan.stale.empty()) {
    out("No stale files on the drive.");
  } else if (ours > 0) {
    out("Stale files (" + std::to_string(ours) + ", " + byteText(plan.staleBytes) + "):");
    for (const auto& item : plan.stale)
      if (item.ours) out("  " + item.path);
  } else {
    out("No stale files of the exporter's own on the drive.");
  }
  if (!kept.empty()) {
    out("Kept: " + std::to_string(kept.size()) + " stale items (" + byteText(keptBytes) +
        ") not written by the exporter (--clean-all deletes them too):");
    for (const auto& item : plan.stale)
      if (!item.ours) out("  " + item.path);
  }
  bool remove = ours > 0 && !o_.dryRun && confirm(o_.cleanAll ? "Delete them all?" : "Delete them?");
  CleanOutcome c = session_.clean(remove);
  json items = json::array();
  std::vector<std::string> notDeleted;
  for (const auto& i : c.items) {
    json entry = {{"path", i.item.path},
                  {"bytes", i.item.bytes},
                  {"writtenByExporter", i.item.ours && !i.kept},
                  {"deleted", i.deleted}};
    if (!i.reason.empty()) entry["reason"] = i.reason;
    if (i.item.ours && !i.deleted && !i.kept && c.attempted) notDeleted.push_back(i.item.path + ": " + i.reason);
    items.push_back(entry);
  }
  stale["items"] = items;
  deleteFailures_ = c.notDeleted;
  if (c.attempted) {
    stale["deleted"] = c.notDeleted == 0;
    if (notDeleted.empty()) {
      out("Stale files deleted.");
    } else {
      out(std::to_string(notDeleted.size()) + " stale items could not be deleted:");
      for (const auto& line : notDeleted) out("  " + line);
    }
  } else if (ours > 0) {
    out("Stale files kept.");
  }
  report_["stale"] = stale;
}

void ExportRun::stopIfInterrupted() {
  if (!gInterrupted.load()) return;
  throw Stopped{"interrupted",
                "Interrupted: " + byteText(copied_) + " copied (" + std::to_string(tracksOnDrive_) +
                    " tracks on the drive), " + std::to_string(notCopied_) +
                    " tracks not copied; unfinished copies were removed. The next export goes on from here.",
                kExitInterrupted};
}

int ExportRun::run() {
  session_.load();
  report_["library"] = session_.libraryFile();
  report_["destination"] = session_.root();
  report_["mode"] = session_.mode();
  if (!o_.dryRun) {
    size_t removed = session_.prepare();
    report_["unfinishedCopiesRemoved"] = removed;
    if (removed) out("Removed " + std::to_string(removed) + " unfinished copies left by an earlier export.");
  }
  plan_ = &session_.plan();
  showPlan(*plan_);
  if (!plan_->fits()) {
    if (!plan_->fitsAfterCleanUp()) {
      throw ExportError(ExportError::Kind::kDoesNotFit,
                        "The export needs " + byteText(plan_->bytesToCopy) + " but the drive has only " +
                            byteText(plan_->freeSpace) + " free. Choose fewer playlists with --playlist.");
    }
    out("It fits only once the stale files are gone.");
    if (!o_.dryRun) {
      if (!confirm("Remove the stale files first?")) {
        throw ExportError(ExportError::Kind::kDoesNotFit, "The export does not fit; nothing was copied.");
      }
      cleanUp();
      cleanedFirst_ = true;
    }
  }
  if (o_.dryRun) {
    if (plan_->cleanUp) cleanUp();
    report_["status"] = "dry run";
    return kExitOk;
  }
  // The mode a script would set; a value the user set wins, as it does
  // for the script.
  std::optional<std::string> param = platform::configuration()->scriptParam;
  ui::SelectorText prompts(param.value_or(std::to_string(session_.mode())));
  out(prompts.confirmPrompt());
  if (!confirm("Start the export?")) {
    out("Nothing was changed.");
    report_["status"] = "declined";
    return kExitPartial;
  }
  InterruptGuard guard;
  copy();
  stopIfInterrupted();
  size_t covers = session_.covers(&gInterrupted);
  report_["coverImages"] = covers;
  if (covers) out("Cover images: " + std::to_string(covers) + " \"" + catalogue::CTrack::artFileName() + "\" written.");
  stopIfInterrupted();
  playlistFiles();
  stopIfInterrupted();
  if (plan_->cleanUp && !cleanedFirst_) cleanUp();
  bool ok = notCopied_ == 0 && playlistFailures_ == 0 && deleteFailures_ == 0;
  report_["status"] = ok ? "done" : "problems";
  out(ok ? prompts.completionPrompt() + " Done." : prompts.failurePrompt() + " Finished with problems.");
  return ok ? kExitOk : kExitPartial;
}

const char* statusWord(ExportError::Kind kind) {
  switch (kind) {
    case ExportError::Kind::kUsage:
      return "usage error";
    case ExportError::Kind::kBusy:
      return "busy";
    case ExportError::Kind::kDoesNotFit:
      return "does not fit";
    case ExportError::Kind::kFailed:
      break;
  }
  return "error";
}

}  // namespace

int runExport(const ExportOptions& options) {
  ExportRun run(options);
  int status = kExitOk;
  std::string problem;
  try {
    status = run.run();
  } catch (const ExportError& e) {
    problem = e.what();
    run.report()["status"] = statusWord(e.kind());
    status = e.kind() == ExportError::Kind::kUsage ? kExitUsage : kExitPartial;
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
