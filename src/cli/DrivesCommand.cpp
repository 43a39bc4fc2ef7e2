#include "cli/DrivesCommand.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/CommandLine.h"
#include "drive/DriveServices.h"
#include "drive/HardwarePaths.h"
#include "drive/LookingPreferences.h"
#include "drive/PlistPreferences.h"
#include "drive/TessalineFinder.h"
#include "platform/Configuration.h"

namespace app {
namespace {

std::string checkFolder(std::string& path) {
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_directory(path, ec)) return "not a folder: " + path;
  return {};
}

void useFakeHardware(const std::string& dir) {
  // The configuration carries the choice to every backend, and its child
  // environment to the disk tool this program runs as a child process.
  platform::Configuration config = *platform::configuration();
  config.fakeHardware = dir;
  platform::setConfiguration(std::move(config));
  drive::DriveServices::setShared(nullptr);
  drive::onlyLookAtDrivePreference();
}

void printText(const drive::TessalineFinder& finder) {
  if (finder.numberOfItems() == 0) {
    std::cout << "No volume to choose from.\n";
  } else {
    std::cout << "Volumes:\n";
  }
  for (int i = 0; i < finder.numberOfItems(); ++i) {
    const ui::PopupItem& item = finder.items()[static_cast<size_t>(i)];
    std::cout << "  " << (i == finder.indexOfSelectedItem() ? "* " : "  ") << item.title << "  ("
              << (item.enabled ? "can be chosen" : "cannot be chosen") << ")\n"
              << "      " << item.toolTip << "\n";
  }
  for (const auto& drive : finder.unidentified()) {
    std::cout << "Not identified: " << drive.device << "\n      " << drive.reason << "\n";
  }
  std::cout << "Explanation: " << finder.noTessalineExplain().value_or("") << "\n";
}

void printJson(const drive::TessalineFinder& finder) {
  nlohmann::json volumes = nlohmann::json::array();
  for (int i = 0; i < finder.numberOfItems(); ++i) {
    const ui::PopupItem& item = finder.items()[static_cast<size_t>(i)];
    volumes.push_back({{"title", item.title},
                       {"tag", item.tag},
                       {"path", drive::TessalineFinder::getPathForDiskID(item.tag)},
                       {"enabled", item.enabled},
                       {"selected", i == finder.indexOfSelectedItem()},
                       {"image", item.imageName},
                       {"toolTip", item.toolTip}});
  }
  nlohmann::json unidentified = nlohmann::json::array();
  for (const auto& drive : finder.unidentified()) {
    unidentified.push_back({{"drive", drive.device}, {"reason", drive.reason}});
  }
  nlohmann::json out = {{"drives", finder.candidates()},
                        {"unidentified", unidentified},
                        {"volumes", volumes},
                        {"explanation", finder.noTessalineExplain().value_or("")}};
  // Volume names are whatever the file systems hold; replace bytes that
  // are not UTF-8 rather than fail.
  std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

}  // namespace

void registerDrivesCommand(CLI::App& cli) {
  cli.add_option_function<std::string>("--fake-hardware", useFakeHardware,
                                       "Read drives and volumes from this fake hardware tree")
      ->type_name("DIR")
      ->check(CLI::Validator(checkFolder, ""));

  auto json = std::make_shared<bool>(false);
  auto forget = std::make_shared<bool>(false);
  CLI::App* sub = cli.add_subcommand("drives", "Show the Tessaline drive popup: volumes, verdicts");
  sub->add_flag("--json", *json, "Print JSON instead of text");
  sub->add_flag(
      "--forget", *forget,
      "Forget the remembered volume (export --drive NAME remembers one), then show the volumes");
  sub->callback([json, forget] {
    if (*forget) {
      drive::PlistPreferences stored(drive::PlistPreferences::defaultPath());
      auto name = stored.stringValue(drive::TessalineFinder::kPreferenceKey);
      bool forgotten = stored.removeValue(drive::TessalineFinder::kPreferenceKey);
      std::string said = forgotten ? "Forgot the remembered volume" +
                                         (name ? " \"" + *name + "\"." : std::string("."))
                                   : "No volume was remembered.";
      (*json ? std::cerr : std::cout) << said << "\n";
    }
    drive::onlyLookAtDrivePreference();
    drive::TessalineFinder finder;
    finder.awakeFromNib();
    if (*json) {
      printJson(finder);
    } else {
      printText(finder);
    }
  });
}

}  // namespace app
