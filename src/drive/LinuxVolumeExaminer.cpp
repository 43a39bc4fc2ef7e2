#include "drive/LinuxVolumeExaminer.h"

#include "base/Log.h"
#include "drive/FileSystemCatalogue.h"
#include "drive/LinuxDiskInfo.h"
#include "drive/VolumeJudgement.h"

namespace drive {

LinuxVolumeExaminer::LinuxVolumeExaminer(std::string root, const FileSystemCatalogue* catalogue)
    : root_(std::move(root)), catalogue_(catalogue) {}

VolumeVerdict LinuxVolumeExaminer::inspect(const std::string& deviceName) {
  auto disk = LinuxDiskInfo(root_).info(deviceName);
  if (!disk) {
    base::logLine(disk.status().message());
    return VolumeVerdict();
  }
  return judgeDisk(*disk, catalogue_ != nullptr ? *catalogue_ : installedFileSystems());
}

}  // namespace drive
