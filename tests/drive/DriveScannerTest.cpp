// The drive scan on the fake machine shipped in resources/: values read
// in place, with a disk tool at hand that leaves a mark when it is run.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "drive/DriveScanner.h"
#include "drive/FSNamesAndTags.h"
#include "drive/FileSystemBundleSource.h"
#include "drive/LinuxVolumeExaminer.h"
#include "platform/Log.h"
#include "support/ScopedConfiguration.h"
#include "support/TempDir.h"

namespace drive {
namespace {

namespace fs = std::filesystem;

TEST(DriveScanner, FakeDriveVolumesAsValuesWithoutRunningTheDiskTool) {
  testsupport::TempDir dir;
  const fs::path root = dir.path(), mark = root / "ran", tool = root / "diskutil";
  testsupport::writeFile(tool, "#!/bin/sh\ntouch '" + mark.string() + "'\nexit 1\n");
  fs::permissions(tool, fs::perms::owner_all);
  testsupport::ScopedConfiguration machine([&](auto& c) {
    c.fakeHardware = TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive";
    c.diskTool = tool;
    c.configHome = root / "config";
  });
  std::optional<platform::LogCapture> log(std::in_place);
  auto catalogue = FSNamesAndTags::makeUnshared(FileSystemBundleSource::defaultSource());
  auto services = DriveServices::forPaths(HardwarePaths::current());
  services->inspector =
      std::make_unique<LinuxVolumeExaminer>(FileSystemBundleSource::machineRoot(), catalogue.get());
  log.emplace();  // the catalogue's own lines are not the scan's
  DriveScan scan = DriveScanner(*services).scan();

  const std::string ntfs =
      "ARCHIVE is formatted as Windows NTFS, which this computer can read but not write. "
      "Reformat it as FAT32 (MS-DOS), or install an NTFS driver that can write.";
  using Values = std::tuple<std::string, std::string, std::string, std::optional<std::string>,
                            std::optional<std::string>, std::optional<int64_t>,
                            std::optional<int64_t>, std::optional<int64_t>, bool, std::string>;
  const Values rows[] = {
      {"TESSA MUSIC", "sdb1", "/media/alex/TESSA MUSIC", "MS-DOS (FAT32)", "6A1E-3C07", 15987638272,
       7741964288, 8192, true, "TESSA MUSIC (MS-DOS (FAT32)): 7.21 GB free of 14.89 GB."},
      {"ARCHIVE", "sdb2", "/media/alex/ARCHIVE", "Windows NT File System (NTFS)",
       "5E3A1C2B4D6F7081", 499963674624, 123456794624, 4096, false, ntfs},
  };
  EXPECT_FALSE(fs::exists(mark)) << "the scan ran the disk tool";
  EXPECT_EQ(log->lines(), std::vector<std::string>{});
  EXPECT_EQ(scan.drives, std::vector<std::string>{"sdb"});
  ASSERT_EQ(scan.volumes.size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    const ScannedVolume& v = scan.volumes[i];
    EXPECT_EQ(
        Values(v.title, v.device, v.mountPoint, v.facts.fsName, v.facts.uuid, v.facts.totalBytes,
               v.facts.freeBytes, v.facts.clusterBytes, v.usable, v.reason),
        rows[i]);
  }
  EXPECT_EQ(std::tuple(scan.selected, scan.explanation, DriveScanner::explanation()),
            std::tuple(0, ntfs, std::optional(ntfs)));
}

}  // namespace
}  // namespace drive
