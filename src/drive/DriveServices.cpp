#include "drive/DriveServices.h"

#include <mutex>

#include "drive/LinuxVolumeExaminer.h"
#include "drive/MountinfoVolumeTable.h"
#include "drive/PlistPreferences.h"
#include "drive/RecordedSmartLogReader.h"
#include "drive/SgIoSmartLogReader.h"
#include "drive/SysfsDeviceRegistry.h"

namespace drive {
namespace {

std::unique_ptr<DriveServices>& sharedSlot() {
  static std::unique_ptr<DriveServices> services;
  return services;
}

// The window's worker chooses a volume while its main thread may scan.
std::mutex& slotMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::unique_ptr<DriveServices> DriveServices::forPaths(const HardwarePaths& paths) {
  auto services = std::make_unique<DriveServices>();
  services->registry = std::make_unique<SysfsDeviceRegistry>(paths.sys);
  if (paths.fake) {
    services->smart = std::make_unique<RecordedSmartLogReader>(paths.smartPages);
  } else {
    services->smart = std::make_unique<SgIoSmartLogReader>(paths.dev);
  }
  services->volumes = std::make_unique<MountinfoVolumeTable>(paths.proc, paths.sys, paths.dev);
  services->preferences = std::make_unique<PlistPreferences>(PlistPreferences::defaultPath());
  services->inspector = std::make_unique<LinuxVolumeExaminer>(paths.root.string());
  return services;
}

DriveServices& DriveServices::shared() {
  std::lock_guard<std::mutex> lock(slotMutex());
  auto& slot = sharedSlot();
  if (!slot) slot = forPaths(HardwarePaths::current());
  return *slot;
}

void DriveServices::setShared(std::unique_ptr<DriveServices> services) {
  std::lock_guard<std::mutex> lock(slotMutex());
  sharedSlot() = std::move(services);
}

}  // namespace drive
