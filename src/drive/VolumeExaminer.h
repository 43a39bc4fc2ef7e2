// What the drive finder needs to know about one volume of a candidate
// drive: its file system's display name, sizes and verdicts.
//
// Thread: main thread (the finder's scan); may block while the volume is
// examined.
// Errors: inspection never fails; what cannot be found stays absent or
// false, which the finder shows as an unusable volume.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace drive {

struct VolumeVerdict {
  std::optional<std::string> fsName;
  std::optional<int64_t> totalBytes;
  std::optional<int64_t> freeBytes;
  bool fsIsWritable = false;
  bool fsIsCompatible = false;
  bool fsIsNTFS = false;
};

class VolumeExaminer {
 public:
  virtual ~VolumeExaminer() = default;
  virtual VolumeVerdict inspect(const std::string& deviceName) = 0;
};

}  // namespace drive
