#include <gtest/gtest.h>

#include <cerrno>

#include "FakeHardware.h"
#include "base/Log.h"
#include "drive/RecordedSmartLogReader.h"
#include "drive/SgIoSmartLogReader.h"
#include "drive/SysfsDeviceRegistry.h"

namespace drive {
namespace {

using drive_test::FakeHardware;

constexpr const char* kAdapter = "pci0000:00/0000:00:1c.0/0000:05:00.0";
constexpr const char* kAtaDevice =
    "pci0000:00/0000:00:1c.0/0000:05:00.0/ata3/host2/target2:0:0/2:0:0:0";

class SysfsRegistry : public testing::Test {
 protected:
  void SetUp() override {
    hw.addDevice("pci0000:00/0000:00:1c.0");
    hw.addPciDevice(kAdapter, "removable", "0x1c2e", "0x2301");
    hw.addDevice(std::string(kAdapter) + "/ata3");
    hw.addScsiDevice(kAtaDevice, "ATA     ", "Vextra Tessaline");
    hw.addDisk(kAtaDevice, "sdb", 8, 16, {"sdb1", "sdb2"});
    hw.addScsiDevice("pci0000:00/0000:00:14.0/usb2/2-1/host6/target6:0:0/6:0:0:0", "Marovex ",
                     "Vextra Tessaline");
    hw.addDisk("pci0000:00/0000:00:14.0/usb2/2-1/host6/target6:0:0/6:0:0:0", "sdba", 65, 160,
               {"sdba1"});
    hw.addDevice("pci0000:00/0000:00:1d.0/nvme/nvme0");
    hw.write("sys/devices/pci0000:00/0000:00:1d.0/nvme/nvme0/model", "Some NVMe SSD\n");
    hw.addDisk("pci0000:00/0000:00:1d.0/nvme/nvme0", "nvme0n1", 259, 0, {"nvme0n1p1"});
  }

  std::unique_ptr<RegistryEntry> medium(const std::string& bsd) {
    auto media = registry.wholeDiskMedia();
    EXPECT_TRUE(media.has_value());
    for (auto& m : *media) {
      auto v = m->property("BSD Name");
      if (v.string() && *v.string() == bsd) return std::move(m);
    }
    return nullptr;
  }

  FakeHardware hw;
  SysfsDeviceRegistry registry{hw.sys()};
};

TEST_F(SysfsRegistry, NamesMediaFromTheScsiVendorAndModel) {
  auto media = registry.wholeDiskMedia();
  ASSERT_TRUE(media);
  ASSERT_EQ(media->size(), 3u);
  EXPECT_EQ((*media)[0]->name(), "Some NVMe SSD Media");             // no vendor field
  EXPECT_EQ((*media)[1]->name(), "Vextra Tessaline Media");          // libata's "ATA" is no vendor
  EXPECT_EQ((*media)[2]->name(), "Marovex Vextra Tessaline Media");  // padding trimmed
  EXPECT_TRUE((*media)[1]->property("Whole").isTrue());
}

TEST_F(SysfsRegistry, AncestorsCarryTheAdapterAndSmartProperties) {
  auto disk = medium("sdb");
  ASSERT_TRUE(disk);
  auto ata = disk->parent();
  ASSERT_TRUE(ata);
  EXPECT_EQ(ata->name(), "2:0:0:0");
  EXPECT_TRUE(ata->property("SMART Capable").isTrue());
  EXPECT_TRUE(ata->property("IOPCITunnelled").isNone());
  std::unique_ptr<RegistryEntry> e = ata->parent();
  while (e && e->name() != "0000:05:00.0") e = e->parent();
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->property("IOPCITunnelled").isTrue());
  ASSERT_TRUE(e->property("subsystem-vendor-id").bytes());
  EXPECT_EQ(*e->property("subsystem-vendor-id").bytes(), (RegistryValue::Bytes{0x2E, 0x1C, 0, 0}));
  EXPECT_EQ(*e->property("subsystem-id").bytes(), (RegistryValue::Bytes{0x01, 0x23, 0, 0}));
  EXPECT_TRUE(e->property("SMART Capable").isNone());
  auto top = e->parent();
  ASSERT_TRUE(top);
  EXPECT_EQ(top->name(), "0000:00:1c.0");
  EXPECT_EQ(top->parent(), nullptr);  // pci0000:00 holds no uevent here
}

TEST_F(SysfsRegistry, NonAtaScsiDeviceIsNotSmartCapable) {
  auto stick = medium("sdba");
  ASSERT_TRUE(stick);
  EXPECT_TRUE(stick->parent()->property("SMART Capable").isNone());
}

TEST_F(SysfsRegistry, MalformedOrFixedAdapterAttributes) {
  hw.write(std::string("sys/devices/") + kAdapter + "/subsystem_vendor", "0x1c2e5\n");
  hw.write(std::string("sys/devices/") + kAdapter + "/subsystem_device", "tessaline\n");
  hw.write(std::string("sys/devices/") + kAdapter + "/removable", "fixed\n");
  std::unique_ptr<RegistryEntry> e = medium("sdb");
  while (e && e->name() != "0000:05:00.0") e = e->parent();
  ASSERT_TRUE(e);
  EXPECT_TRUE(e->property("subsystem-vendor-id").isNone());
  EXPECT_TRUE(e->property("subsystem-id").isNone());
  EXPECT_FALSE(e->property("IOPCITunnelled").isTrue());
  EXPECT_FALSE(e->property("IOPCITunnelled").isNone());
}

// libata's INQUIRY model keeps 16 characters of the ATA identify model;
// VPD page 0x89 carries the whole identify data (model at words 27..46,
// two characters a word, the first in the high byte).
TEST_F(SysfsRegistry, AtaMediaAreNamedFromTheIdentifyModel) {
  std::string model = "Marovex Vextra Tessaline 2TB";
  std::string page(572, '\0');
  page[1] = static_cast<char>(0x89);
  std::string padded = model + std::string(40 - model.size(), ' ');
  for (size_t i = 0; i < 40; i += 2) {
    page[114 + i] = padded[i + 1];
    page[115 + i] = padded[i];
  }
  hw.write(std::string("sys/devices/") + kAtaDevice + "/model", "Marovex Vextra T\n");
  hw.write(std::string("sys/devices/") + kAtaDevice + "/vpd_pg89", page);
  EXPECT_EQ(medium("sdb")->name(), "Marovex Vextra Tessaline 2TB Media");
  hw.write(std::string("sys/devices/") + kAtaDevice + "/vpd_pg89", page.substr(0, 100));
  EXPECT_EQ(medium("sdb")->name(), "Marovex Vextra T Media");  // short page: the INQUIRY model
}

TEST_F(SysfsRegistry, GarbledInquiryFieldsAreLeftOutOfTheName) {
  hw.write(std::string("sys/devices/") + kAtaDevice + "/vendor", std::string("AT\0A\x01", 5));
  hw.write(std::string("sys/devices/") + kAtaDevice + "/model", std::string(5000, 'M'));
  EXPECT_EQ(medium("sdb")->name(), "sdb Media");
}

TEST_F(SysfsRegistry, PartitionsBelongToTheirOwnDiskOnly) {
  EXPECT_EQ(registry.wholeDiskOfPartition("sdb1"), "sdb");
  EXPECT_EQ(registry.wholeDiskOfPartition("sdb2"), "sdb");
  EXPECT_EQ(registry.wholeDiskOfPartition("sdba1"), "sdba");
  EXPECT_EQ(registry.wholeDiskOfPartition("nvme0n1p1"), "nvme0n1");
  EXPECT_EQ(registry.wholeDiskOfPartition("sdb"), std::nullopt);   // a whole disk
  EXPECT_EQ(registry.wholeDiskOfPartition("sdc1"), std::nullopt);  // unknown
  EXPECT_EQ(registry.wholeDiskOfPartition("../block/sdb"), std::nullopt);
  EXPECT_EQ(registry.wholeDiskOfPartition(""), std::nullopt);
}

TEST_F(SysfsRegistry, AbsurdPartitionEntriesAreNotPartitions) {
  hw.write("sys/devices/pci0000:00/0000:00:1d.0/nvme/nvme0/block/nvme0n1/nvme0n1p1/partition",
           "0\n");
  EXPECT_EQ(registry.wholeDiskOfPartition("nvme0n1p1"), std::nullopt);
  // A link that leads out of the tree is not followed.
  hw.link("sys/class/block/evil1", "/tmp");
  EXPECT_EQ(registry.wholeDiskOfPartition("evil1"), std::nullopt);
}

TEST_F(SysfsRegistry, MissingBlockFolderMeansNoEnumeration) {
  FakeHardware empty;
  SysfsDeviceRegistry none(empty.sys());
  EXPECT_FALSE(none.wholeDiskMedia().has_value());
}

TEST_F(SysfsRegistry, RecordedSmartPagesAreFoundBelowTheAtaDevice) {
  std::string page(512, 'x');
  hw.write("smart/sdb/log-88", page);
  hw.write("smart/sdba/log-88", std::string(511, 'x'));  // short recording
  RecordedSmartLogReader reader(hw.root / "smart");
  std::array<uint8_t, 512> buffer{};
  auto ata = medium("sdb")->parent();
  EXPECT_TRUE(reader.readLogAtAddress(*ata, 0x88, buffer).ok());
  EXPECT_EQ(buffer[511], 'x');
  std::string smart = (hw.root / "smart").string();
  EXPECT_EQ(reader.readLogAtAddress(*ata, 0x89, buffer).message(),
            "cannot read SMART log 0x89 of " + smart + "/sdb/log-89: No such file or directory");
  base::Status shortPage = reader.readLogAtAddress(*medium("sdba")->parent(), 0x88, buffer);
  EXPECT_EQ(shortPage.message(), "cannot read SMART log 0x88 of " + smart +
                                     "/sdba/log-88: the recording holds 511 bytes, not 512");
  EXPECT_EQ(shortPage.path(), smart + "/sdba/log-88");
}

// Without CAP_SYS_RAWIO the kernel refuses ATA PASS-THROUGH with EPERM,
// even to a member of the disk group who may open the node.
TEST_F(SysfsRegistry, RefusedSgIoReadsNameTheirDeviceAndAreToldApart) {
  hw.write("dev/sdb", "");
  std::string node = (hw.root / "dev" / "sdb").string();
  std::array<uint8_t, 512> buffer{};
  auto ata = medium("sdb")->parent();
  SgIoSmartLogReader refused(hw.root / "dev", [](int, void*) {
    errno = EPERM;
    return -1;
  });
  base::Status denied = refused.readLogAtAddress(*ata, 0x88, buffer);
  EXPECT_TRUE(denied.notPermitted());
  EXPECT_EQ(denied.message(),
            "cannot read SMART log 0x88 of " + node + ": Operation not permitted");
  SgIoSmartLogReader live(hw.root / "dev");  // a plain file takes no SG_IO
  base::Status failed = live.readLogAtAddress(*ata, 0x88, buffer);
  EXPECT_FALSE(failed.notPermitted());
  EXPECT_EQ(failed.code(), ENOTTY);
  EXPECT_EQ(failed.message(),
            "cannot read SMART log 0x88 of " + node + ": Inappropriate ioctl for device");
}

TEST(SgIoSmartLogReader, CommandBlockIsSmartReadLogOfOneSector) {
  auto cdb = SgIoSmartLogReader::readLogCommand(0x88);
  std::array<uint8_t, 16> expected{0x85, 0x08, 0x0E, 0x00, 0xD5, 0x00, 0x01, 0x00,
                                   0x88, 0x00, 0x4F, 0x00, 0xC2, 0x00, 0xB0, 0x00};
  EXPECT_EQ(cdb, expected);
}

TEST(SysfsDeviceRegistry, PciIdsAreSixteenBitHex) {
  EXPECT_EQ(SysfsDeviceRegistry::parsePciId("0x1c2e"), 0x1C2E);
  EXPECT_EQ(SysfsDeviceRegistry::parsePciId("2301"), 0x2301);
  EXPECT_EQ(SysfsDeviceRegistry::parsePciId("0x"), std::nullopt);
  EXPECT_EQ(SysfsDeviceRegistry::parsePciId("0x12345"), std::nullopt);
  EXPECT_EQ(SysfsDeviceRegistry::parsePciId("-1"), std::nullopt);
}

}  // namespace
}  // namespace drive
