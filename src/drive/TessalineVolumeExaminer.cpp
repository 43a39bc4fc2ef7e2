#include "drive/TessalineVolumeExaminer.h"

#include "drive/TessalineVolume.h"

namespace drive {

VolumeVerdict TessalineVolumeExaminer::inspect(const std::string& deviceName) {
  TessalineVolume volume;
  volume.initWithSliceName(deviceName);
  VolumeVerdict verdict;
  verdict.fsName = volume.fsName();
  verdict.totalBytes = volume.totalBytes();
  verdict.freeBytes = volume.freeBytes();
  verdict.fsIsWritable = volume.fsIsWritable();
  verdict.fsIsCompatible = volume.fsIsCompatible();
  verdict.fsIsNTFS = volume.fsIsNTFS();
  return verdict;
}

}  // namespace drive
