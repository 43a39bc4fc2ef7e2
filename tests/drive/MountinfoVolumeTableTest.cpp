#include <gtest/gtest.h>

#include <set>

#include "FakeHardware.h"
#include "base/Log.h"
#include "drive/MountinfoVolumeTable.h"

namespace drive {
namespace {

using drive_test::FakeHardware;

class Mountinfo : public testing::Test {
 protected:
  void SetUp() override {
    hw.addDevice("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0");
    hw.addDisk("pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "sdb", 8, 16,
               {"sdb1", "sdb2"});
    hw.mountinfo({
        "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw",
        "23 22 0:21 / /proc rw,nosuid - proc proc rw",
        "45 22 8:17 / /media/me/TESSA\\040MUSIC rw,relatime shared:300 - vfat /dev/sdb1 rw",
        "this line is not a mount",
        "46 22 8:18 / /media/me/ARCHIVE ro,relatime - ntfs3 /dev/sdb2 ro",
    });
    hw.link("dev/disk/by-label/Archive\\x20Disk", "../../sdb2");
  }

  MountedVolume at(int index, int expectedStatus = VolumeTable::kNoError) {
    MountedVolume v;
    EXPECT_EQ(table.volumeAtIndex(index, &v), expectedStatus) << "index " << index;
    return v;
  }

  FakeHardware hw;
  MountinfoVolumeTable table{hw.root / "proc", hw.root / "sys", hw.root / "dev"};
};

TEST_F(Mountinfo, ListsEveryMountInOrderFromOne) {
  table.rescan();
  MountedVolume root = at(1);
  EXPECT_EQ(root.rootPath, "/");
  EXPECT_EQ(root.name, "/");
  EXPECT_EQ(root.deviceName, "sda2");  // no sysfs entry: the source's name below /dev
  MountedVolume proc = at(2);
  EXPECT_EQ(proc.deviceName, "");
  MountedVolume music = at(3);
  EXPECT_EQ(music.rootPath, "/media/me/TESSA MUSIC");
  EXPECT_EQ(music.name, "TESSA MUSIC");  // no label: the folder's name
  EXPECT_EQ(music.deviceName, "sdb1");   // from dev/block/8:17
  at(4, VolumeTable::kVolumeUnreadable);
  MountedVolume archive = at(5);
  EXPECT_EQ(archive.name, "Archive Disk");  // the label wins
  EXPECT_EQ(archive.deviceName, "sdb2");
  at(6, VolumeTable::kNoSuchVolume);
}

TEST_F(Mountinfo, ReferenceNumbersAreNegativeDistinctAndStable) {
  table.rescan();
  std::set<int16_t> seen;
  for (int i : {1, 2, 3, 5}) {
    int16_t ref = at(i).refNum;
    EXPECT_LT(ref, 0);
    EXPECT_TRUE(seen.insert(ref).second);
  }
  int16_t archive = at(5).refNum;
  // Another mount appearing before it does not change it.
  hw.mountinfo({"22 1 8:2 / / rw - ext4 /dev/sda2 rw", "99 22 0:50 / /tmp rw - tmpfs tmpfs rw",
                "46 22 8:18 / /media/me/ARCHIVE ro - ntfs3 /dev/sdb2 ro"});
  table.rescan();
  EXPECT_EQ(at(3).refNum, archive);
  EXPECT_EQ(table.rootPathForRefNum(archive), "/media/me/ARCHIVE");
  EXPECT_EQ(table.rootPathForRefNum(-12345), std::nullopt);
}

TEST_F(Mountinfo, MissingFileLogsAndListsNothing) {
  std::filesystem::remove(hw.root / "proc" / "self" / "mountinfo");
  base::LogCapture log;
  table.rescan();
  at(1, VolumeTable::kNoSuchVolume);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0], "cannot read the mounted volumes: cannot read " +
                                (hw.root / "proc/self/mountinfo").string() +
                                ": No such file or directory");
}

TEST_F(Mountinfo, MalformedLinesAreUnreadableVolumesNotCrashes) {
  hw.mountinfo({"1 2", "x 1 8:1 / /a rw - vfat /dev/sdb1 rw",
                "5 1 99999999999:1 / /a rw - vfat /dev/sdb1 rw",
                "6 1 8:1 / relative rw - vfat /dev/x rw", "7 1 8:1 / /a rw shared:1",
                "8 1 8:1 / /a rw - vfat", "", "9 1 8:17 / /ok rw - vfat /dev/../../etc/passwd rw"});
  table.rescan();
  for (int i = 1; i <= 7; ++i) at(i, VolumeTable::kVolumeUnreadable);
  MountedVolume ok = at(8);
  EXPECT_EQ(ok.deviceName, "sdb1");  // from sysfs, not from the odd source text
  at(9, VolumeTable::kNoSuchVolume);
}

// A bind mount of a folder on the drive (root field not "/") is no
// volume: offered under the drive's label, it would take the export into
// <drive>/Music/Music.
TEST_F(Mountinfo, OnlyMountsOfAFileSystemsRootAreVolumes) {
  hw.mountinfo({"45 22 8:17 / /media/me/TESSA rw - vfat /dev/sdb1 rw",
                "47 22 8:17 /Music /home/me/Music rw - vfat /dev/sdb1 rw"});
  table.rescan();
  EXPECT_EQ(at(1).rootPath, "/media/me/TESSA");
  at(2, VolumeTable::kNoSuchVolume);
}

// Reference numbers are 16-bit: past the 32,768 there are, a volume gets
// none and is unreadable, so that it is never offered; those met first
// keep theirs.
TEST_F(Mountinfo, VolumesBeyondTheLastReferenceNumberAreUnreadable) {
  std::vector<std::string> lines;
  for (int id = 1; id <= 32770; ++id) {
    lines.push_back(std::to_string(id) + " 1 0:50 / /m/" + std::to_string(id) +
                    " rw - tmpfs tmpfs rw");
  }
  hw.mountinfo(lines);
  base::LogCapture log;
  table.rescan();
  std::set<int16_t> seen;
  for (int i = 1; i <= 32768; ++i) seen.insert(at(i).refNum);
  EXPECT_EQ(seen.size(), 32768u);
  at(32769, VolumeTable::kVolumeUnreadable);
  at(32770, VolumeTable::kVolumeUnreadable);
  at(32771, VolumeTable::kNoSuchVolume);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "2 mounted volumes left out: all 32768 reference numbers are taken"});
}

}  // namespace
}  // namespace drive
