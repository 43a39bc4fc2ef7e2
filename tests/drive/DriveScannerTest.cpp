// The drive scan on the fake machine shipped in resources/: values read
// in place, with a disk tool at hand that leaves a mark when it is run.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "base/Log.h"
#include "drive/DriveScanner.h"
#include "drive/FileSystemBundleSource.h"
#include "drive/FileSystemCatalogue.h"
#include "drive/LinuxVolumeExaminer.h"
#include "support/ScopedConfiguration.h"
#include "support/TempDir.h"

namespace drive {
namespace {

namespace stdfs = std::filesystem;

TEST(DriveScanner, FakeDriveVolumesAsValuesWithoutRunningTheDiskTool) {
  testsupport::TempDir dir;
  const stdfs::path root = dir.path(), mark = root / "ran", tool = root / "diskutil";
  testsupport::writeFile(tool, "#!/bin/sh\ntouch '" + mark.string() + "'\nexit 1\n");
  stdfs::permissions(tool, stdfs::perms::owner_all);
  testsupport::ScopedConfiguration machine([&](auto& c) {
    c.fakeHardware = TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive";
    c.diskTool = tool;
    c.configHome = root / "config";
  });
  std::optional<base::LogCapture> log(std::in_place);
  FileSystemCatalogue catalogue(FileSystemBundleSource::defaultSource());
  auto services = DriveServices::forPaths(HardwarePaths::current());
  services->inspector =
      std::make_unique<LinuxVolumeExaminer>(FileSystemBundleSource::machineRoot(), &catalogue);
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
  EXPECT_FALSE(stdfs::exists(mark)) << "the scan ran the disk tool";
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
