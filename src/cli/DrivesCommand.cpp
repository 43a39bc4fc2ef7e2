#include "cli/DrivesCommand.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/Configuration.h"
#include "cli/CommandLine.h"
#include "cli/PlayerSettingsText.h"
#include "drive/DriveScanner.h"
#include "drive/DriveServices.h"
#include "drive/HardwarePaths.h"
#include "drive/LookingPreferences.h"
#include "drive/PlistPreferences.h"
#include "session/ExportSession.h"
#include "session/PlayerProfile.h"

namespace app {

namespace {

// What each mounted volume's .is_audio_player sets; none without one.
std::optional<session::PlayerSettings> playerOf(const drive::ScannedVolume& v,
                                                const Services& services, std::string* error) {
  if (v.mountPoint.empty() || !services.fileManager) return std::nullopt;
  auto read = session::readPlayerProfile(*services.fileManager(), v.folder());
  if (!read) {
    *error = read.status().message();
    return std::nullopt;
  }
  if (!*read) return std::nullopt;
  return session::resolveSettings(*read, {});
}

void printText(const drive::DriveScan& scan, const Services& services) {
  std::vector<drive::ScannedVolume> offered = scan.offered();
  std::cout << (offered.empty() ? "No volume to choose from.\n" : "Volumes:\n");
  for (size_t i = 0; i < offered.size(); ++i) {
    const drive::ScannedVolume& v = offered[i];
    std::cout << "  " << (static_cast<int>(i) == scan.selected ? "* " : "  ") << v.title << "  ("
              << (v.usable ? "can be chosen" : "cannot be chosen") << ")\n"
              << "      " << v.reason << "\n";
    std::string error;
    if (auto player = playerOf(v, services, &error)) {
      std::cout << "      Its player (" << session::kPlayerProfileFile << "):\n";
      for (const auto& line : playerSettingsLines(*player, "        ")) std::cout << line << "\n";
    } else if (!error.empty()) {
      std::cout << "      " << error << "\n";
    }
  }
  for (const auto& drive : scan.unidentified) {
    std::cout << "Not identified: " << drive.device << "\n      " << drive.reason << "\n";
  }
  std::cout << "Explanation: " << scan.explanation << "\n";
}

void printJson(const drive::DriveScan& scan, const Services& services) {
  nlohmann::json volumes = nlohmann::json::array();
  std::vector<drive::ScannedVolume> offered = scan.offered();
  for (size_t i = 0; i < offered.size(); ++i) {
    const drive::ScannedVolume& v = offered[i];
    volumes.push_back({{"title", v.title},
                       {"tag", v.refNum},
                       {"path", v.folder()},
                       {"enabled", v.usable},
                       {"selected", static_cast<int>(i) == scan.selected},
                       {"image", v.mountPoint.empty() ? "" : drive::DriveScanner::kVolumeImageName},
                       {"toolTip", v.reason}});
    std::string error;
    auto player = playerOf(v, services, &error);
    volumes.back()["player"] = player ? playerSettingsJson(*player) : nlohmann::json(nullptr);
    if (!error.empty()) volumes.back()["playerError"] = error;
  }
  nlohmann::json unidentified = nlohmann::json::array();
  for (const auto& drive : scan.unidentified) {
    unidentified.push_back({{"drive", drive.device}, {"reason", drive.reason}});
  }
  nlohmann::json out = {{"drives", scan.drives},
                        {"unidentified", unidentified},
                        {"volumes", volumes},
                        {"explanation", scan.explanation}};
  // Volume names are whatever the file systems hold; replace bytes that
  // are not UTF-8 rather than fail.
  std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

}  // namespace

void registerDrivesCommand(CLI::App& cli, const Services& services) {
  auto json = std::make_shared<bool>(false);
  auto forget = std::make_shared<bool>(false);
  CLI::App* sub = cli.add_subcommand("drives", "Show the Tessaline drive popup: volumes, verdicts");
  addJsonFlag(*sub, *json, "Print JSON instead of text");
  sub->add_flag(
      "--forget", *forget,
      "Forget the remembered volume (export --drive NAME remembers one), then show the volumes");
  sub->callback([json, forget, drives = services.drives, &services] {
    if (*forget) {
      drive::PlistPreferences stored(drive::PlistPreferences::defaultPath());
      auto name = stored.stringValue(drive::DriveScanner::kPreferenceKey);
      bool forgotten = stored.removeValue(drive::DriveScanner::kPreferenceKey);
      std::string said = forgotten ? "Forgot the remembered volume" +
                                         (name ? " \"" + *name + "\"." : std::string("."))
                                   : "No volume was remembered.";
      (*json ? std::cerr : std::cout) << said << "\n";
    }
    drive::onlyLookAtDrivePreference(drives());
    drive::DriveScan scan = drive::DriveScanner(drives()).scan();
    if (*json) {
      printJson(scan, services);
    } else {
      printText(scan, services);
    }
  });
}

}  // namespace app
