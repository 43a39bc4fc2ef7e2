// The rules that judge a volume for the export, shared by the disk tool's
// report reader (TessalineVolume) and the drive scan (LinuxVolumeExaminer),
// so that both give one verdict for one volume.
//
// The file system's personality decides before the partition content
// tag, which counts only when the volume names no file system or one of
// the family the tag stands for (exFAT in a "Windows_NTFS" partition is
// exFAT, not NTFS). A size that is negative or above 2^60 bytes is
// implausible: it is dropped and every verdict is false.
//
// Thread: pure functions; the catalogue is only read.
// Ownership: nothing is kept.
// Errors: none; judgeDisk logs one line for implausible sizes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "drive/LinuxDiskInfo.h"
#include "drive/VolumeExaminer.h"

namespace drive {

class FileSystemCatalogue;

struct FileSystemJudgement {
  bool compatible = false;
  bool ntfs = false;
  bool limit4G = false;
};

inline constexpr int64_t kLargestPlausibleSize = int64_t{1} << 60;

FileSystemJudgement judgeFileSystem(const std::optional<std::string>& personality,
                                    const std::optional<std::string>& contentTag,
                                    const FileSystemCatalogue& catalogue);

bool sizeIsImplausible(const std::optional<int64_t>& bytes);

// The verdict on a volume this machine describes: the display name from
// the personality, the judgement above, writability and sizes as found.
VolumeVerdict judgeDisk(const DiskInfo& disk, const FileSystemCatalogue& catalogue);

}  // namespace drive
