#include "drive/LinuxVolumeExaminer.h"

#include "drive/LinuxDiskInfo.h"
#include "drive/VolumeJudgement.h"
#include "platform/Log.h"

namespace drive {

LinuxVolumeExaminer::LinuxVolumeExaminer(std::string root, const FSNamesAndTags* catalogue)
    : root_(std::move(root)), catalogue_(catalogue) {}

VolumeVerdict LinuxVolumeExaminer::inspect(const std::string& deviceName) {
  auto disk = LinuxDiskInfo(root_).info(deviceName);
  if (!disk) {
    platform::logLine(disk.status().message());
    return VolumeVerdict();
  }
  return judgeDisk(*disk, catalogue_ != nullptr ? *catalogue_ : fileSystemCatalogue());
}

}  // namespace drive
