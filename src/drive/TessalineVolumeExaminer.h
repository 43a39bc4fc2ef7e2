// The volume inspector of the live program: one TessalineVolume per
// volume, inspected with the disk tool (see TessalineVolume.h).
//
// Thread: main thread; blocks while the disk tool runs.
// Errors: none; a failed inspection gives an unusable verdict.
#pragma once

#include "drive/VolumeExaminer.h"

namespace drive {

class TessalineVolumeExaminer : public VolumeExaminer {
 public:
  VolumeVerdict inspect(const std::string& deviceName) override;
};

}  // namespace drive
