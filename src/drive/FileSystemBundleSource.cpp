#include "drive/FileSystemBundleSource.h"

#include <filesystem>

#include "base/Configuration.h"
#include "drive/LinuxFileSystems.h"
#include "drive/MacFileSystemBundles.h"
#include "drive/PropertyList.h"

namespace drive {

std::string FileSystemBundleSource::machineRoot() {
  auto config = base::configuration();
  return config->fakeHardware.empty() ? "/" : config->fakeHardware;
}

std::shared_ptr<FileSystemBundleSource> FileSystemBundleSource::defaultSource() {
  std::string root = machineRoot();
  std::error_code ec;
  std::filesystem::path macFolder =
      std::filesystem::path(root) / std::string(MacFileSystemBundles::kBundleFolder).substr(1);
  if (std::filesystem::is_directory(macFolder, ec)) {
    return std::make_shared<MacFileSystemBundles>(
        macFolder.string(),
        (std::filesystem::path(root) / std::string(MacFileSystemBundles::kNtfs3gSettings).substr(1))
            .string());
  }
  return std::make_shared<LinuxFileSystems>(root);
}

bool FileSystemBundleSource::settingsDisableDriver(const std::string& path) {
  auto settings = PropertyList::load(path);
  if (!settings) return false;
  const PropertyList* value = settings->find("DisableDriver");
  return value != nullptr && value->asString() != nullptr && *value->asString() == "1";
}

}  // namespace drive
