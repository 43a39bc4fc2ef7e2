#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "base/Log.h"
#include "cli/DiskutilCommand.h"
#include "compat/finder/FSNamesAndTags.h"
#include "compat/finder/TessalineVolume.h"
#include "drive/LinuxFileSystems.h"
#include "drive/LinuxVolumeExaminer.h"
#include "drive/PropertyList.h"
#include "support/ScopedConfiguration.h"
#include "support/TempDir.h"

namespace app {
namespace {

using testsupport::writeFile;

// A fake machine with four volumes on two disks:
//   sdb1  FAT32 in MBR type 0x0c, mounted at "/media/USB DISK" (rw)
//   sdb2  NTFS through NTFS-3G (fuseblk), mounted read-only
//   sdc1  exFAT in a GPT basic data partition, not mounted
//   sdc2  HFS+ (Apple_HFS), mounted rw but on read-only media
class FakeMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    block("sdb1", "8:17", 7593936, false, true);
    block("sdb2", "8:18", 2000000, false, true);
    block("sdc1", "8:33", 4000000, false, true);
    block("sdc2", "8:34", 4000000, true, true);
    udev("8:17",
         "E:ID_FS_TYPE=vfat\nE:ID_FS_VERSION=FAT32\nE:ID_FS_LABEL_ENC=USB\\x20DISK\n"
         "E:ID_PART_ENTRY_TYPE=0xc\nE:ID_PART_TABLE_TYPE=dos\nE:ID_FS_UUID=6A1E-3C07\n");
    udev("8:18", "E:ID_FS_TYPE=ntfs\nE:ID_FS_LABEL=Data\nE:ID_PART_ENTRY_TYPE=0x7\n");
    udev("8:33",
         "E:ID_FS_TYPE=exfat\nE:ID_FS_LABEL=Stash\n"
         "E:ID_PART_ENTRY_TYPE=ebd0a0a2-b9e5-4433-87c0-68b6b72699c7\n");
    udev("8:34",
         "E:ID_FS_TYPE=hfsplus\nE:ID_FS_LABEL=Mac\n"
         "E:ID_PART_ENTRY_TYPE=48465300-0000-11aa-aa11-00306543ecac\n");
    writeFile(dir_ / "proc/self/mountinfo",
              "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
              "40 26 8:17 / /media/USB\\040DISK rw,nosuid - vfat /dev/sdb1 rw,fmask=0022\n"
              "41 26 0:52 / /media/Data ro,nosuid shared:5 - fuseblk /dev/sdb2 ro,user_id=0\n"
              "42 26 8:34 / /media/Mac rw - hfsplus /dev/sdc2 rw\n");
    writeFile(dir_ / "statvfs",
              "/media/USB\\040DISK 3888095232 3872370688 8192\n/media/Data 1024000000 512000000\n");
    config_.emplace([this](auto& c) { c.fakeHardware = dir_.path(); });
  }
  void TearDown() override { config_.reset(); }
  std::optional<testsupport::ScopedConfiguration> config_;

  void block(const std::string& name, const std::string& dev, int64_t sectors, bool ro,
             bool partition) {
    std::string sys = dir_ / ("sys/class/block/" + name);
    writeFile(sys + "/dev", dev + "\n");
    writeFile(sys + "/size", std::to_string(sectors) + "\n");
    writeFile(sys + "/ro", ro ? "1\n" : "0\n");
    if (partition) writeFile(sys + "/partition", "1\n");
  }
  void udev(const std::string& dev, const std::string& data) {
    writeFile(dir_ / ("run/udev/data/b" + dev), data);
  }

  int run(const std::string& device, bool plist, std::string* out, std::string* err = nullptr) {
    std::ostringstream o, e;
    int status = runDiskutilInfo(device, plist, dir_.path(), o, e);
    *out = o.str();
    if (err) *err = e.str();
    return status;
  }

  // Inspects a volume with the tool's real output standing in for the
  // child process; `plistWorks` false forces the text report.
  std::unique_ptr<finder::TessalineVolume> inspect(const std::string& slice,
                                                   bool plistWorks = true) {
    auto runner = [this, plistWorks](const std::string& command,
                                     std::optional<std::string>* output) {
      bool plist = command.find(" -plist ") != std::string::npos;
      std::string out;
      int status = run(slice_, plist, &out);
      if (plist && !plistWorks) out = "garbage";
      if (!out.empty()) *output = out;
      return status == 0 ? 0 : 256;
    };
    slice_ = slice;
    auto v = std::make_unique<finder::TessalineVolume>(runner, catalogue_.get());
    base::LogCapture quiet;
    v->initWithSliceName(slice);
    return v;
  }

  testsupport::TempDir dir_;
  std::string slice_;
  std::unique_ptr<finder::FSNamesAndTags> catalogue_;
};

TEST_F(FakeMachine, PlistReportOfAMountedFat32Volume) {
  std::string out;
  ASSERT_EQ(run("/dev/sdb1", true, &out), 0);
  auto report = drive::PropertyList::parse(out);
  ASSERT_TRUE(report && report->isDict());
  EXPECT_EQ(*report->find("FilesystemName")->asString(), "MS-DOS FAT32");
  EXPECT_EQ(*report->find("Content")->asString(), "DOS_FAT_32");
  EXPECT_EQ(*report->find("MountPoint")->asString(), "/media/USB DISK");
  EXPECT_EQ(*report->find("VolumeName")->asString(), "USB DISK");
  EXPECT_EQ(report->find("TotalSize")->asInteger(), 3888095232);
  EXPECT_EQ(report->find("FreeSpace")->asInteger(), 3872370688);
  EXPECT_TRUE(report->find("Writable")->toValue().boolValue());
}

TEST_F(FakeMachine, UnknownOrEscapingDevicesAreRefused) {
  for (const char* device : {"sdz9", "../sdb1", "/dev/../sys", "", "sdb1/..", ".."}) {
    std::string out, err;
    EXPECT_EQ(run(device, true, &out, &err), 1) << device;
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, std::string("Could not find disk: ") + device + "\n");
  }
}

TEST_F(FakeMachine, InspectionThroughTheTextReport) {
  catalogue_ = finder::FSNamesAndTags::makeUnshared(nullptr);
  auto fat = inspect("sdb1", false);
  EXPECT_EQ(fat->contentTag(), "DOS_FAT_32");
  EXPECT_TRUE(fat->fsIsCompatible() && fat->fsLimit4G() && fat->fsIsWritable());
  // Binary units with one decimal, rounded down: never more than there is.
  ASSERT_TRUE(fat->totalBytes());
  EXPECT_LE(*fat->totalBytes(), 3888095232);
  EXPECT_GT(*fat->totalBytes(), 3888095232 - 3888095232 / 30);

  auto unmounted = inspect("sdc1", false);
  EXPECT_FALSE(unmounted->fsIsWritable());
  EXPECT_EQ(unmounted->freeBytes(), 0);
}

// The drive scan judges each volume from the machine's values; the disk
// tool's reports of the same volume, read back, give the same verdict.
TEST_F(FakeMachine, ScanAndBothReportsJudgeEachVolumeAlike) {
  catalogue_ = finder::FSNamesAndTags::makeUnshared(nullptr);
  drive::LinuxVolumeExaminer scan(dir_.path(), &catalogue_->catalogue());
  struct Row {
    const char* slice;
    bool writable, compatible, ntfs, limit4G;
  } rows[] = {
      {"sdb1", true, true, false, true},
      {"sdb2", false, false, true, false},  // mounted read-only; an empty catalogue formats no NTFS
      {"sdc1", true, false, false, false},  // exFAT, not mounted
      {"sdc2", false, true, false, false},  // mounted rw, but on read-only media
      {"sdz9", false, false, false, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.slice);
    base::LogCapture log;
    drive::VolumeVerdict v = scan.inspect(r.slice);
    if (std::string(r.slice) == "sdz9") {
      EXPECT_EQ(log.lines(), std::vector<std::string>{"Could not find disk: sdz9"});
    }
    for (bool plist : {true, false}) {
      auto report = inspect(r.slice, plist);
      for (bool writable : {v.fsIsWritable, report->fsIsWritable()}) {
        // The text says "not applicable" for an unmounted volume's writability.
        if (plist || std::string(r.slice) != "sdc1") {
          EXPECT_EQ(writable, r.writable) << plist;
        }
      }
      auto judged = std::tuple(r.compatible, r.ntfs, r.limit4G);
      EXPECT_EQ(std::tuple(v.fsIsCompatible, v.fsIsNTFS, v.fsLimit4G), judged);
      EXPECT_EQ(std::tuple(report->fsIsCompatible(), report->fsIsNTFS(), report->fsLimit4G()),
                judged)
          << plist;
      if (plist) {  // the text's personality key is not one the report reader reads
        EXPECT_EQ(v.fsName, report->fsName());
        EXPECT_EQ(v.contentTag.value_or(""), report->contentTag().value_or(""));
        EXPECT_EQ(v.totalBytes.value_or(0), report->totalBytes().value_or(0));
      }
    }
  }
  drive::VolumeVerdict fat = scan.inspect("sdb1"), exfat = scan.inspect("sdc1");
  EXPECT_EQ(fat.uuid, "6A1E-3C07");
  EXPECT_EQ(fat.clusterBytes, 8192);
  EXPECT_EQ(fat.freeBytes, 3872370688);
  EXPECT_EQ(exfat.contentTag, "Microsoft Basic Data");
  EXPECT_EQ(scan.inspect("sdb2").contentTag, "Windows_NTFS");
  EXPECT_EQ(exfat.totalBytes, 4000000 * 512LL) << "the partition's size, not mounted";
  EXPECT_EQ(exfat.freeBytes, 0);
  EXPECT_FALSE(exfat.clusterBytes);
}

TEST(DiskutilSizeText, BinaryUnitsRoundedDown) {
  EXPECT_EQ(diskutilSizeText(0), "0 B (0 Bytes) (exactly 0 512-Byte-Units)");
  EXPECT_EQ(diskutilSizeText(1023), "1023 B (1023 Bytes) (exactly 1 512-Byte-Units)");
  EXPECT_EQ(diskutilSizeText(1024), "1.0 KB (1024 Bytes) (exactly 2 512-Byte-Units)");
  EXPECT_EQ(diskutilSizeText(536978286182),
            "500.0 GB (536978286182 Bytes) (exactly 1048785715 512-Byte-Units)");
  EXPECT_EQ(diskutilSizeText(2047LL << 30).substr(0, 8), "1.9 TB (");
}

}  // namespace
}  // namespace app
