#include "drive/VolumeJudgement.h"

#include <string_view>

#include "base/Log.h"
#include "drive/FileSystemCatalogue.h"

namespace drive {
namespace {

bool beginsOrEndsWithNtfs(const std::string& name) {
  constexpr std::string_view kNtfs = "NTFS";
  return name.rfind(kNtfs, 0) == 0 ||
         (name.size() >= kNtfs.size() &&
          name.compare(name.size() - kNtfs.size(), kNtfs.size(), kNtfs) == 0);
}

}  // namespace

FileSystemJudgement judgeFileSystem(const std::optional<std::string>& personality,
                                    const std::optional<std::string>& tag,
                                    const FileSystemCatalogue& catalogue) {
  // A deliberate choice against the type-first order this check was
  // first written in: the file system's personality is asked before the
  // partition type, and the type speaks only for a volume that reports
  // no personality or one of the family the type stands for. Type first,
  // exFAT on an MBR partition of type 0x07 (the usual layout of SDXC
  // cards and large sticks, and NTFS's type too) was judged as NTFS, and
  // taken or refused by whether an NTFS formatter happened to be
  // installed: a plainly wrong result.
  FileSystemJudgement j;
  bool known = personality && !personality->empty();
  bool fat = !known || *personality == "MS-DOS" || *personality == "MS-DOS FAT32";
  bool hfs = !known || personality->find("HFS") != std::string::npos;
  bool ntfs = known && beginsOrEndsWithNtfs(*personality);
  if ((tag == "DOS_FAT_32" && fat) || personality == "MS-DOS FAT32") {
    j.compatible = true;
    j.limit4G = true;
  } else if (tag && tag->find("HFS") != std::string::npos && hfs) {
    j.compatible = true;
  } else if (tag == "Windows_NTFS" && (!known || ntfs)) {
    j.ntfs = true;
    j.compatible = catalogue.contentHintIsFormattable(*tag);
  } else if (ntfs) {
    j.ntfs = true;
    j.compatible = catalogue.personalityIsFormattable(*personality);
  }
  return j;
}

bool sizeIsImplausible(const std::optional<int64_t>& bytes) {
  return bytes && (*bytes < 0 || *bytes > kLargestPlausibleSize);
}

VolumeVerdict judgeDisk(const DiskInfo& disk, const FileSystemCatalogue& catalogue) {
  VolumeVerdict v;
  v.personality = disk.personality;
  v.contentTag = disk.content;
  v.fsType = disk.fsType;
  v.clusterBytes = disk.clusterSize;
  v.uuid = disk.uuid;
  if (disk.personality) v.fsName = catalogue.displayNameForPersonality(*disk.personality);
  v.fsIsWritable = disk.writable;
  v.totalBytes = disk.totalSize;
  v.freeBytes = disk.freeSpace;
  FileSystemJudgement j = judgeFileSystem(disk.personality, v.contentTag, catalogue);
  v.fsIsCompatible = j.compatible;
  v.fsIsNTFS = j.ntfs;
  v.fsLimit4G = j.limit4G;
  if (sizeIsImplausible(v.totalBytes) || sizeIsImplausible(v.freeBytes)) {
    base::logFormat("Drive scan: implausible sizes for %@ (total %@, free %@): unusable",
                    disk.deviceIdentifier, *v.totalBytes, *v.freeBytes);
    if (sizeIsImplausible(v.totalBytes)) v.totalBytes.reset();
    if (sizeIsImplausible(v.freeBytes)) v.freeBytes.reset();
    v.fsIsWritable = v.fsIsCompatible = v.fsIsNTFS = v.fsLimit4G = false;
  }
  return v;
}

}  // namespace drive
