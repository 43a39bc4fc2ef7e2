#include "MachineServices.h"

#include "drive/DriveScanner.h"
#include "drive/DriveServices.h"
#include "drive/HardwarePaths.h"
#include "drive/LookingPreferences.h"
#include "fs/FileManager.h"

namespace app {
namespace {

base::Status fail(base::Status::Kind kind, std::string message) {
  return base::Status::of(kind, std::move(message));
}

}  // namespace

// The folder of a Tessaline volume: the one named `title`, or else the
// one the drive popup preselects (the remembered or first usable one).
base::Result<std::string> driveVolumeFolder(const base::Configuration& config,
                                            const std::string& title, std::string* uuid) {
  drive::DriveServices& services = drive::DriveServices::shared();
  if (!config.fakeHardware.empty()) drive::onlyLookAtDrivePreference(services);
  drive::DriveScan scan = drive::DriveScanner(services).scan();
  std::vector<drive::ScannedVolume> offered = scan.offered();
  auto indexOf = [&](const std::string& name) {
    for (size_t i = 0; i < offered.size(); ++i) {
      if (offered[i].title == name) return static_cast<int>(i);
    }
    return -1;
  };
  int index = title.empty() ? scan.selected : indexOf(title);
  int usable = -1;
  for (size_t i = 0; i < offered.size() && usable < 0; ++i) {
    if (offered[i].usable) usable = static_cast<int>(i);
  }
  if (index < 0 && title.empty() && usable >= 0) {
    // Another usable volume is there: say why the remembered one is not
    // taken, and how to take that one.
    auto remembered = services.preferences
                          ? services.preferences->stringValue(drive::DriveScanner::kPreferenceKey)
                          : std::nullopt;
    int at = remembered ? indexOf(*remembered) : -1;
    std::string why = !remembered || remembered->empty() ? "No volume is remembered."
                      : at < 0
                          ? "The remembered volume \"" + *remembered + "\" is not attached."
                          : "The remembered volume \"" + *remembered +
                                "\" cannot be used: " + offered[static_cast<size_t>(at)].reason;
    const std::string& other = offered[static_cast<size_t>(usable)].title;
    return fail(base::Status::Kind::kUsage,
                why + " The volume \"" + other + "\" can be used: choose it with --drive '" +
                    other + "' (it is remembered from then on), or name a folder with --to DIR.");
  }
  if (index < 0) {
    std::string why = offered.empty() || title.empty()
                          ? scan.explanation
                          : "No drive volume is named \"" + title + "\" (see tessaline drives).";
    return fail(base::Status::Kind::kUsage, why + " Name a folder with --to DIR instead.");
  }
  const drive::ScannedVolume& volume = offered[static_cast<size_t>(index)];
  if (!volume.usable)
    return fail(base::Status::Kind::kUsage,
                "The volume \"" + volume.title + "\" cannot be used: " + volume.reason);
  // A fresh look: the volume may have gone since the scan.
  std::string path = services.volumes
                         ? drive::DriveScanner::folderForRefNum(volume.refNum, *services.volumes)
                         : "";
  if (path.empty())
    return fail(base::Status::Kind::kUsage,
                "The volume \"" + volume.title + "\" is no longer mounted.");
  // A fake machine's volumes are mounted nowhere; TESSALINE_FAKE_MOUNTS
  // names a folder that stands for its root directory.
  if (!config.fakeHardware.empty() && !config.fakeMounts.empty()) path = config.fakeMounts + path;
  if (!title.empty()) drive::rememberDriveVolume(volume.title);
  if (uuid) *uuid = volume.facts.uuid.value_or("");
  return path;
}

base::Configuration hardwareOption(base::Configuration config, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "--fake-hardware" && i + 1 < argc) {
      config.fakeHardware = argv[++i];
    } else if (arg.rfind("--fake-hardware=", 0) == 0) {
      config.fakeHardware = std::string(arg.substr(std::string_view("--fake-hardware=").size()));
    } else if (arg == "--dock-tile") {
      ++i;  // its file
    } else if (arg.empty() || arg[0] != '-') {
      break;  // the command: what follows is its own
    }
  }
  return config;
}

Services machineServices() {
  Services services;
  services.fileManager = [] { return fs::FileManager::makePrivate(); };
  services.configuration = base::configuration();
  services.drives = [fake =
                         !services.configuration->fakeHardware.empty()]() -> drive::DriveServices& {
    drive::DriveServices& shared = drive::DriveServices::shared();
    // A fake machine's volumes are never remembered as the owner's choice.
    if (fake) drive::onlyLookAtDrivePreference(shared);
    return shared;
  };
  // As the command line leaves the configuration (--fake-hardware).
  services.driveVolume = [](const std::string& title, std::string* uuid) {
    return driveVolumeFolder(*base::configuration(), title, uuid);
  };
  return services;
}

}  // namespace app
