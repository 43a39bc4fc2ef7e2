#include "cli/CheckCommand.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/CommandLine.h"
#include "cli/Terminal.h"
#include "drive/DriveScanner.h"
#include "drive/LookingPreferences.h"
#include "drive/PlistPreferences.h"
#include "session/DriveCheck.h"
#include "session/ExportSession.h"

namespace app {
namespace {

using nlohmann::json;

struct CheckOptions {
  std::string folder;
  bool fast = false, json = false, verbose = false;
};

json filesJson(const std::vector<CheckedFile>& files, const char* detailKey = "detail") {
  json out = json::array();
  for (const auto& f : files) {
    json entry = {{"path", f.path}, {"bytes", f.bytes}};
    if (!f.detail.empty()) entry[detailKey] = f.detail;
    out.push_back(entry);
  }
  return out;
}

void printGroup(const std::string& title, const std::vector<CheckedFile>& files) {
  if (files.empty()) return;
  std::cout << title << " (" << files.size() << "):\n";
  for (const auto& f : files)
    std::cout << "  " << f.path << (f.detail.empty() ? "" : ": " + f.detail) << "\n";
}

// A usage error: said on standard error, and in the report with --json.
int usageError(const CheckOptions& o, const std::string& why) {
  std::cerr << "tessaline check: " << why << "\n";
  if (o.json) {
    json report = {{"status", "usage error"}, {"error", why}, {"exitStatus", kExitUsage}};
    std::cout << report.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
  }
  return kExitUsage;
}

int runCheck(const CheckOptions& o, const Services& services) {
  std::string folder = o.folder;
  if (folder.empty()) {
    drive::PlistPreferences stored(drive::PlistPreferences::defaultPath());
    auto remembered = stored.stringValue(drive::DriveScanner::kPreferenceKey);
    if (!remembered || remembered->empty())
      return usageError(
          o,
          "No drive is remembered yet (export --drive NAME remembers one): name the drive's "
          "folder, as in: tessaline check /media/me/TESSALINE");
    drive::onlyLookAtDrivePreference(services.drives());
    auto found = services.driveVolume(*remembered, nullptr);
    if (!found) return usageError(o, found.error().message());
    folder = *found;
  }
  // As the export takes --to: relative to here, without a trailing slash.
  folder = std::filesystem::absolute(folder).lexically_normal().string();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  auto checked = checkDrive(*services.fileManager(), folder, o.fast);
  if (!checked && checked.status().code() == EWOULDBLOCK) {
    std::cerr << "tessaline check: " << checked.status().message() << "\n";
    if (o.json) {
      json report = {
          {"status", "busy"}, {"error", checked.status().message()}, {"exitStatus", kExitBusy}};
      std::cout << report.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    }
    return kExitBusy;
  }
  if (!checked) return usageError(o, checked.status().message());
  CheckReport& r = *checked;
  int status = r.ok() ? kExitOk : kExitPartial;
  if (o.json) {
    json dangling = json::array(), never = json::array();
    for (const auto& d : r.dangling) dangling.push_back({{"file", d.path}, {"entry", d.detail}});
    for (const auto& d : r.neverCopied) never.push_back({{"file", d.path}, {"entry", d.detail}});
    json notOurs = {{"count", r.notOurs.size()}, {"bytes", r.notOursBytes}};
    if (o.verbose) notOurs["files"] = filesJson(r.notOurs);
    json report = {{"destination", r.root},
                   {"fileSystem", r.fileSystem},
                   {"fast", o.fast},
                   {"checkedByContent", r.byContent},
                   {"checkedBySizeAndTime", r.bySizeAndTime},
                   {"bytesRead", r.bytesRead},
                   {"damaged", filesJson(r.damaged)},
                   {"changed", filesJson(r.changed)},
                   {"missing", filesJson(r.missing)},
                   {"danglingPlaylistEntries", dangling},
                   {"playlistEntriesNeverCopied", never},
                   {"cannotHold", filesJson(r.cannotHold, "reason")},
                   {"notWrittenByExporter", notOurs},
                   {"damageNoted", r.damageNoted},
                   {"status", r.ok() ? "ok" : "problems"},
                   {"exitStatus", status}};
    std::cout << report.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    return status;
  }
  std::cout << "Checked " << r.root << (r.fileSystem.empty() ? "" : " (" + r.fileSystem + ")")
            << ": " << countText(r.byContent, "file", "files") << " by content, " << r.bySizeAndTime
            << " by size and time only" << (o.fast ? " (--fast)" : " (recorded without a checksum)")
            << ".\n";
  printGroup("Damaged: the content differs, size and time as written", r.damaged);
  printGroup("Changed: size or time differs from what was written", r.changed);
  printGroup("Missing: recorded but not on the drive", r.missing);
  std::vector<CheckedFile> dangling, never;
  for (const auto& d : r.dangling) dangling.push_back({d.path + " -> " + d.detail, 0, ""});
  for (const auto& d : r.neverCopied) never.push_back({d.path + " -> " + d.detail, 0, ""});
  printGroup("Playlist entries whose file the exporter wrote and is gone", dangling);
  printGroup("Playlist entries whose track was never copied (unchecked, or its copy failed)",
             never);
  printGroup("Names or sizes the drive's file system cannot hold", r.cannotHold);
  if (!r.notOurs.empty()) {
    std::cout << "Not written by the exporter: " << countText(r.notOurs.size(), "file", "files")
              << " (" << byteText(r.notOursBytes) << ")" << (o.verbose ? ":" : "; -v lists them.")
              << "\n";
    if (o.verbose)
      for (const auto& f : r.notOurs) std::cout << "  " << f.path << "\n";
  }
  if (!r.damageNoted)
    std::cout << "The damaged tracks could not be noted for the next export (another export "
                 "is under way?): check again afterwards.\n";
  if (r.ok() && o.fast) {
    // Nothing was read: a change that kept size and time is not seen.
    std::cout << "Everything the exporter wrote has the size and time it was written with "
                 "(--fast compares sizes and times only and resolves no playlist entry; "
                 "without it every file is read).\n";
  } else if (r.ok()) {
    std::cout << "Everything the exporter wrote is as it wrote it.\n";
  } else {
    std::cout << "Found problems. The next export copies damaged and missing tracks again "
                 "(changed files may be a user's and are left alone).\n";
  }
  return status;
}

}  // namespace

void registerCheckCommand(CLI::App& cli, const Services& services) {
  auto o = std::make_shared<CheckOptions>();
  auto* cmd =
      cli.add_subcommand("check", "Compare the drive with the record of what the exporter wrote");
  cmd->add_option("DIR", o->folder, "The drive's folder; default: the remembered drive volume");
  cmd->add_flag("--fast", o->fast,
                "Compare sizes and times only; read no file, so resolve no playlist entry");
  addJsonFlag(*cmd, o->json, "Print a machine-readable report instead of text");
  cmd->add_flag("-v,--verbose", o->verbose, "Also list the files the exporter did not write");
  cmd->footer(
      "Exit status:\n"
      "  0  everything the exporter wrote is as it wrote it (files it did not\n"
      "     write are reported but do not count)\n"
      "  1  something of the exporter's is damaged, changed, missing, named by a\n"
      "     playlist entry that resolves to nothing, or too large or too long\n"
      "     for the drive's file system\n"
      "  2  usage error");
  cmd->callback([o, &services] {
    int status = runCheck(*o, services);
    if (status != kExitOk) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
