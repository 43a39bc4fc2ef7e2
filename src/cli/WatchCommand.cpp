#include "cli/WatchCommand.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "base/StopSignals.h"
#include "cli/CommandLine.h"
#include "cli/DesktopNotifier.h"
#include "drive/DriveScanner.h"
#include "drive/LinuxDiskInfo.h"
#include "drive/LookingPreferences.h"
#include "drive/UdisksEjector.h"
#include "drive/UdisksWatcher.h"
#include "library/LibraryReader.h"
#include "session/ExportSession.h"
#include "session/RememberedChoices.h"

namespace app {
namespace {

namespace stdfs = std::filesystem;
using nlohmann::json;
using session::RememberedChoices;

constexpr const char* kUnit = "tessaline-watch.service";
// A library being saved is written in several goes: it is read once it
// has been left alone this long.
constexpr auto kLibrarySettle = std::chrono::seconds(3);
constexpr auto kLibraryPatience = std::chrono::minutes(5);

struct WatchOptions {
  bool once = false, status = false;
  std::string enable, disable, library;
  CLI::Option* enableOption = nullptr;
  CLI::Option* disableOption = nullptr;
};

void say(const std::string& line) { std::cerr << "tessaline watch: " << line << "\n"; }

// Runs `args` (args[0] a program on the search path, or a path) with the
// configured environment; answers its exit status (127: could not run it)
// and, when `out` is given, what it printed.
int runChild(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> environment = base::configuration()->childEnvironment();
  int pipeFds[2] = {-1, -1};
  if (out && pipe2(pipeFds, O_CLOEXEC) != 0) return 127;
  pid_t child = fork();
  if (child == 0) {
    if (out) dup2(pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (out) {
    close(pipeFds[1]);
    char buf[8192];
    ssize_t n;
    while (child > 0 && (n = read(pipeFds[0], buf, sizeof buf)) != 0) {
      if (n > 0)
        out->append(buf, static_cast<size_t>(n));
      else if (errno != EINTR)
        break;
    }
    close(pipeFds[0]);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return 127;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// systemctl --user VERB tessaline-watch.service, said in words.
bool systemctl(const std::vector<std::string>& verb) {
  std::vector<std::string> args = {"systemctl", "--user"};
  args.insert(args.end(), verb.begin(), verb.end());
  args.push_back(kUnit);
  int status = runChild(args, nullptr);
  if (status == 127) {
    std::cerr << "tessaline watch: systemctl is not available here, so " << kUnit << " was not "
              << (verb[0] == "enable" ? "started" : "stopped")
              << ": run `tessaline watch` from your session's autostart instead.\n";
    return false;
  }
  if (status != 0)
    std::cerr << "tessaline watch: `systemctl --user " << verb[0] << " " << kUnit
              << "` failed (exit status " << status << "); see its message above.\n";
  return status == 0;
}

// The watched key of the volume titled `title` (empty: the preselected one).
std::optional<std::pair<std::string, std::string>> volumeKey(const Services& services,
                                                             const std::string& title) {
  drive::onlyLookAtDrivePreference(services.drives());
  drive::DriveScan scan = drive::DriveScanner(services.drives()).scan();
  std::vector<drive::ScannedVolume> offered = scan.offered();
  int at = title.empty() ? scan.selected : -1;
  for (size_t i = 0; i < scan.volumes.size() && at < 0; ++i)
    if (scan.volumes[i].title == title) at = static_cast<int>(i);
  const auto& list = title.empty() ? offered : scan.volumes;
  if (at < 0 || static_cast<size_t>(at) >= list.size()) return std::nullopt;
  const drive::ScannedVolume& v = list[static_cast<size_t>(at)];
  if (!v.facts.uuid || v.facts.uuid->empty()) return std::nullopt;
  return std::make_pair(RememberedChoices::keyForVolume(*v.facts.uuid), v.title);
}

int configure(const WatchOptions& o, const Services& services) {
  RememberedChoices choices(RememberedChoices::defaultFile(*services.configuration),
                            services.fileManager());
  if (o.status) {
    std::vector<std::string> keys = choices.watchedKeys();
    std::cout << (keys.empty() ? "No drive is watched.\n" : "Watched drives:\n");
    for (const auto& key : keys) {
      auto playlists = choices.playlists(key);
      std::cout << "  " << key << ": "
                << (playlists ? std::to_string(playlists->size()) + " playlists remembered"
                              : std::string("no playlists remembered yet"))
                << "\n";
    }
    std::string state;
    int active = runChild({"systemctl", "--user", "is-active", "--quiet", kUnit}, nullptr);
    std::cout << kUnit << ": "
              << (active == 127 ? "systemctl is not available"
                  : active == 0 ? "running"
                                : "not running")
              << "\n";
    return kExitOk;
  }
  const bool enabling = o.enableOption->count() > 0;
  const std::string& title = enabling ? o.enable : o.disable;
  if (!enabling && title.empty()) {
    for (const auto& key : choices.watchedKeys()) (void)choices.setWatched(key, false);
    std::cout << "No drive is watched any more.\n";
    return systemctl({"disable", "--now"}) ? kExitOk : kExitPartial;
  }
  // A drive not attached now is named by its key, as --status lists it.
  auto key = title.rfind("uuid:", 0) == 0 ? std::make_optional(std::make_pair(title, title))
                                          : volumeKey(services, title);
  if (!key) {
    std::cerr << "tessaline watch: "
              << (title.empty() ? std::string("No Tessaline volume is attached and usable")
                                : "No attached Tessaline volume is titled \"" + title + "\"")
              << " with a file system UUID to know it by (see tessaline drives).\n";
    return kExitUsage;
  }
  if (!choices.setWatched(key->first, enabling)) {
    std::cerr << "tessaline watch: " << choices.file() << " could not be written.\n";
    return kExitPartial;
  }
  if (!enabling) {
    std::cout << "\"" << key->second << "\" is no longer watched.\n";
    return choices.watchedKeys().empty() && !systemctl({"disable", "--now"}) ? kExitPartial
                                                                             : kExitOk;
  }
  std::cout << "\"" << key->second << "\" is exported to when it is plugged in.\n";
  if (!choices.playlists(key->first))
    std::cout << "No playlists are remembered for it yet: tick them in the window (tessaline "
                 "gui) and export once.\n";
  return systemctl({"enable", "--now"}) ? kExitOk : kExitPartial;
}

class Watch {
 public:
  Watch(const WatchOptions& o, const Services& services)
      : o_(o),
        services_(services),
        choices_(RememberedChoices::defaultFile(*services.configuration), services.fileManager()),
        notifier_(services.configuration->sessionBus),
        paths_(services.configuration->fakeHardware.empty()
                   ? drive::HardwarePaths::liveSystem()
                   : drive::HardwarePaths::fakeTree(services.configuration->fakeHardware)) {}

  int run() {
    base::StopSignals stop;
    drive::UdisksWatcher watcher;
    if (!o_.once) {
      if (base::Status s = watcher.start(); !s.ok()) {
        say(s.message());
        return kExitPartial;
      }
      say("watching for Tessaline drives");
    }
    do {
      lookAtDrives(*stop.flag());
      if (o_.once) break;
      // Woken by udisks2, and once a minute in case a signal was missed.
      for (int i = 0; i < 60 && !stop.requested(); ++i) {
        notifier_.process([this](uint32_t id, const std::string& key) { act(id, key); });
        if (watcher.waitForChange(std::chrono::seconds(1), stop.flag())) {
          say("udisks2 reports a change: looking at the drives");
          break;
        }
      }
    } while (!stop.requested());
    return failures_ == 0 ? kExitOk : kExitPartial;
  }

 private:
  struct Shown {
    std::string device, mountPoint;
  };

  void lookAtDrives(const std::atomic<bool>& stop) {
    drive::onlyLookAtDrivePreference(services_.drives());
    drive::DriveScan scan = drive::DriveScanner(services_.drives()).scan();
    std::set<std::string> attached;
    bool mounted = false;
    drive::LinuxDiskInfo info(paths_.root.string());
    std::set<std::string> mountedDevices;
    for (const auto& v : scan.volumes) mountedDevices.insert(v.device);
    for (const auto& disk : scan.drives) {
      std::error_code ec;
      for (const auto& entry : stdfs::directory_iterator(paths_.sys / "block" / disk, ec)) {
        std::string part = entry.path().filename();
        if (!stdfs::exists(entry.path() / "partition", ec) || mountedDevices.count(part)) continue;
        auto facts = info.info(part);
        if (!facts.ok() || !facts->uuid) continue;
        attached.insert(*facts->uuid);
        std::string key = RememberedChoices::keyForVolume(*facts->uuid);
        if (!choices_.watched(key) || handled_.count(*facts->uuid)) continue;
        base::Result<std::string> where = drive::UdisksWatcher().mount(part);
        if (!where) {
          handled_.insert(*facts->uuid);
          ++failures_;
          say(where.status().message());
          continue;
        }
        say("mounted /dev/" + part + " at " + *where);
        mounted = true;
      }
    }
    if (mounted) scan = drive::DriveScanner(services_.drives()).scan();
    for (const auto& v : scan.volumes)
      if (v.facts.uuid) attached.insert(*v.facts.uuid);
    // A drive unplugged is tried afresh when it comes back.
    for (auto it = handled_.begin(); it != handled_.end();)
      it = attached.count(*it) ? std::next(it) : handled_.erase(it);
    for (const auto& v : scan.volumes) {
      if (stop || !v.facts.uuid) continue;
      std::string key = RememberedChoices::keyForVolume(*v.facts.uuid);
      if (!choices_.watched(key) || handled_.count(*v.facts.uuid)) continue;
      if (exportTo(v, key, stop)) handled_.insert(*v.facts.uuid);
    }
  }

  // Answers whether the drive is done with until it is plugged in again
  // (exported or failed); false leaves it for the next look (busy).
  bool exportTo(const drive::ScannedVolume& v, const std::string& key,
                const std::atomic<bool>& stop) {
    if (!choices_.playlists(key)) {
      say("\"" + v.title +
          "\" is watched but no playlists are remembered for it: nothing exported");
      return true;
    }
    if (!v.usable) {
      ++failures_;
      say("\"" + v.title + "\" cannot be exported to: " + v.reason);
      notifier_.notify("Cannot export to " + v.title, v.reason);
      return true;
    }
    std::string library =
        o_.library.empty()
            ? LibraryReader::defaultExport(services_.configuration->home).value_or("")
            : o_.library;
    waitForLibrary(library, stop);
    if (stop) return false;
    say("exporting the remembered playlists to \"" + v.title + "\"");
    notifier_.notify("Exporting to " + v.title, "The remembered playlists are being exported.");
    std::vector<std::string> args = {selfPath(), "export", "--remembered", "--drive",
                                     v.title,    "--yes",  "--json"};
    if (!library.empty()) args.insert(args.end(), {"--library", library});
    // Nothing is removed unattended that the owner has not agreed to in the
    // window ("Export and Remove", kept for the drive).
    if (choices_.removal(key) != "remove") args.push_back("--no-clean");
    std::string out;
    int status = runChild(args, &out);
    json report = json::parse(out, nullptr, false);
    if (status == kExitBusy) {
      std::string why = "another process is exporting to it; " +
                        std::string(o_.once ? "nothing was exported" : "it is tried again later");
      say("\"" + v.title + "\" is busy: " + why);
      notifier_.notify("Not exported to " + v.title, why);
      if (o_.once) ++failures_;
      return false;
    }
    auto count = [&](const char* field) -> size_t {
      return report.is_object() && report.contains(field) && report[field].is_array()
                 ? report[field].size()
                 : 0;
    };
    if (!report.is_object() || (status != kExitOk && status != kExitPartial) ||
        !report.contains("playlistFiles")) {
      ++failures_;
      std::string why =
          report.is_object() && report.contains("error") && report["error"].is_string()
              ? report["error"].get<std::string>()
              : "the export ended with exit status " + std::to_string(status);
      say("the export to \"" + v.title + "\" failed: " + why);
      remember(notifier_.notify("Export to " + v.title + " failed", why, {{"show", "Show"}}), v);
      return true;
    }
    size_t playlists = count("playlistFiles");
    if (report.contains("playlistFilesUnchanged") && report["playlistFilesUnchanged"].is_number())
      playlists += report["playlistFilesUnchanged"].get<size_t>();
    size_t problems =
        count("notCopied") + count("playlistFilesNotWritten") + count("cannotBeCopied");
    auto counted = [](size_t n, const char* one, const char* many) {
      return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string line = "Exported " + counted(playlists, "playlist", "playlists") + " to " +
                       v.title + ": " + counted(count("copied"), "track", "tracks") + " copied, " +
                       counted(problems, "problem", "problems");
    if (problems > 0) ++failures_;
    say(line);
    remember(notifier_.notify(line, v.mountPoint, {{"show", "Show"}, {"eject", "Eject"}}), v);
    return true;
  }

  void waitForLibrary(const std::string& library, const std::atomic<bool>& stop) {
    auto began = std::chrono::steady_clock::now();
    struct stat st {};
    while (!stop && !library.empty() && ::stat(library.c_str(), &st) == 0) {
      auto changed = std::chrono::system_clock::time_point(
          std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec));
      if (std::chrono::system_clock::now() - changed >= kLibrarySettle) return;
      if (std::chrono::steady_clock::now() - began > kLibraryPatience) {
        say(library + " keeps changing; exporting from it as it is now");
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }

  void remember(uint32_t id, const drive::ScannedVolume& v) {
    if (id != 0) shown_[id] = {v.device, v.mountPoint};
  }

  void act(uint32_t id, const std::string& key) {
    auto it = shown_.find(id);
    if (it == shown_.end()) return;
    if (key == "show") {
      runChildDetached({"xdg-open", it->second.mountPoint});
    } else if (key == "eject") {
      drive::UdisksEjector ejector;
      drive::EjectOutcome out = ejector.eject(it->second.device, it->second.mountPoint);
      say(out.message);
      notifier_.notify(out.poweredOff ? "Ejected" : "Not ejected", out.message);
    }
  }

  static void runChildDetached(const std::vector<std::string>& args) {
    std::thread([args] { (void)runChild(args, nullptr); }).detach();
  }

  static std::string selfPath() {
    std::error_code ec;
    stdfs::path self = stdfs::read_symlink("/proc/self/exe", ec);
    return ec ? "tessaline" : self.string();
  }

  const WatchOptions& o_;
  const Services& services_;
  RememberedChoices choices_;
  DesktopNotifier notifier_;
  drive::HardwarePaths paths_;
  std::set<std::string> handled_;  // UUIDs done with while attached
  std::map<uint32_t, Shown> shown_;
  int failures_ = 0;
};

}  // namespace

void registerWatchCommand(CLI::App& cli, const Services& services) {
  auto o = std::make_shared<WatchOptions>();
  CLI::App* sub = cli.add_subcommand(
      "watch", "Export the remembered playlists whenever a watched Tessaline drive is plugged in");
  sub->add_flag("--once", o->once, "Handle the drives attached now, then end");
  o->enableOption =
      sub->add_option("--enable", o->enable,
                      "Watch this volume (its title; default: the preselected one) and start the "
                      "systemd user unit " +
                          std::string(kUnit))
          ->expected(0, 1)
          ->type_name("[DRIVE]");
  o->disableOption = sub->add_option("--disable", o->disable,
                                     "Stop watching this volume (its title, or its key as "
                                     "--status lists it), or every volume (and stop the unit) "
                                     "when none is named")
                         ->expected(0, 1)
                         ->type_name("[DRIVE]")
                         ->excludes(o->enableOption);
  sub->add_flag("--status", o->status, "Say which drives are watched and whether the unit runs")
      ->excludes(o->enableOption)
      ->excludes(o->disableOption);
  addLibraryOption(*sub, o->library,
                   "The library to export from; default: the one `tessaline export` finds");
  sub->callback([o, &services] {
    int status = o->status || o->enableOption->count() > 0 || o->disableOption->count() > 0
                     ? configure(*o, services)
                     : Watch(*o, services).run();
    if (status != kExitOk) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
