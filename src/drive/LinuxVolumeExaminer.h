// The volume inspector of the live program: reads what this machine knows
// about the volume (LinuxDiskInfo below the hardware root) and judges it
// in place (VolumeJudgement.h), in bytes, without starting a process.
//
// Ownership: the catalogue, when given, is not owned and must outlive
// the examiner; null means the shared one.
// Thread: the scanning thread; one examiner per thread.
// Errors: a device this machine does not know logs LinuxDiskInfo's
// message ("Could not find disk: sdz9") and gives an unusable verdict.
#pragma once

#include <string>

#include "drive/VolumeExaminer.h"

namespace drive {

class FileSystemCatalogue;

class LinuxVolumeExaminer : public VolumeExaminer {
 public:
  explicit LinuxVolumeExaminer(std::string root, const FileSystemCatalogue* catalogue = nullptr);
  VolumeVerdict inspect(const std::string& deviceName) override;

 private:
  std::string root_;
  const FileSystemCatalogue* catalogue_;
};

}  // namespace drive
