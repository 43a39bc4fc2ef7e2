#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>

#include "base/Format.h"
#include "base/LocalizedStrings.h"
#include "base/Log.h"
#include "compat/finder/TessalineFinder.h"
#include "compat/ui/PlaylistSpaceUsageCell.h"
#include "drive/FakeHardware.h"
#include "drive/MountinfoVolumeTable.h"
#include "drive/RecordedSmartLogReader.h"
#include "drive/SysfsDeviceRegistry.h"

namespace finder {
using namespace drive;
namespace {

using base::localizedString;

// ---- In-memory services -------------------------------------------------

struct Node {
  std::string name;
  std::map<std::string, RegistryValue> props;
  std::shared_ptr<Node> parent;
};

class NodeEntry : public RegistryEntry {
 public:
  explicit NodeEntry(std::shared_ptr<Node> n) : n_(std::move(n)) {}
  std::string name() const override { return n_->name; }
  RegistryValue property(const std::string& key) const override {
    auto it = n_->props.find(key);
    return it == n_->props.end() ? RegistryValue() : it->second;
  }
  std::unique_ptr<RegistryEntry> parent() const override {
    return n_->parent ? std::make_unique<NodeEntry>(n_->parent) : nullptr;
  }
  std::string location() const override { return n_->name; }

 private:
  std::shared_ptr<Node> n_;
};

class MemoryRegistry : public DeviceRegistry {
 public:
  std::optional<std::vector<std::unique_ptr<RegistryEntry>>> wholeDiskMedia() override {
    if (fail) return std::nullopt;
    std::vector<std::unique_ptr<RegistryEntry>> out;
    for (auto& m : media) out.push_back(std::make_unique<NodeEntry>(m));
    return out;
  }
  std::optional<std::string> wholeDiskOfPartition(const std::string& device) override {
    auto it = partitions.find(device);
    if (it == partitions.end()) return std::nullopt;
    return it->second;
  }
  // A disk with its partitions; `parent` is the chain above its medium.
  std::shared_ptr<Node> addDisk(const std::string& mediaName, const std::string& bsd,
                                std::vector<std::string> parts = {},
                                std::shared_ptr<Node> parent = nullptr) {
    auto n = std::make_shared<Node>(Node{mediaName, {}, std::move(parent)});
    n->props["BSD Name"] = RegistryValue::text(bsd);
    media.push_back(n);
    for (auto& p : parts) partitions[p] = bsd;
    return n;
  }

  bool fail = false;
  std::vector<std::shared_ptr<Node>> media;
  std::map<std::string, std::string> partitions;
};

class MemorySmart : public SmartLogReader {
 public:
  base::Status readLogAtAddress(const RegistryEntry& service, uint8_t address,
                                std::span<uint8_t, kPageSize> page) override {
    ++reads;
    if (refuse) return base::Status::fromErrno(EPERM, "cannot read", service.location());
    auto it = pages.find(service.location());
    if (address != 0x88 || it == pages.end()) {
      return base::Status::fromErrno(ENOENT, "cannot read", service.location());
    }
    std::memcpy(page.data(), it->second.data(), kPageSize);
    return {};
  }
  std::map<std::string, std::array<uint8_t, 512>> pages;
  int reads = 0;
  bool refuse = false;
};

class MemoryVolumes : public VolumeTable {
 public:
  void rescan() override {}
  int volumeAtIndex(int index, MountedVolume* v) const override {
    if (index < 1 || static_cast<size_t>(index) > slots.size()) return kNoSuchVolume;
    const auto& slot = slots[static_cast<size_t>(index - 1)];
    if (!slot) return kVolumeUnreadable;
    *v = *slot;
    return kNoError;
  }
  std::optional<std::string> rootPathForRefNum(int16_t ref) override {
    for (auto& s : slots) {
      if (s && s->refNum == ref) return s->rootPath;
    }
    return std::nullopt;
  }
  void add(const std::string& name, const std::string& device, int16_t ref) {
    slots.push_back(MountedVolume{ref, name, "/media/" + name, device});
  }
  std::vector<std::optional<MountedVolume>> slots;
};

class MemoryPreferences : public Preferences {
 public:
  bool hasValue(const std::string& key) override { return value.has_value() || nonString; }
  std::optional<std::string> stringValue(const std::string&) override { return value; }
  void setStringValue(const std::string&, const std::string& v) override {
    value = v;
    ++writes;
  }
  std::optional<std::string> value;
  bool nonString = false;
  int writes = 0;
};

class MemoryInspector : public VolumeExaminer {
 public:
  VolumeVerdict inspect(const std::string& device) override {
    inspected.push_back(device);
    auto it = verdicts.find(device);
    return it == verdicts.end() ? VolumeVerdict() : it->second;
  }
  std::map<std::string, VolumeVerdict> verdicts;
  std::vector<std::string> inspected;
};

VolumeVerdict fat32(int64_t free = 1 << 30, int64_t total = int64_t{8} << 30) {
  return VolumeVerdict{"MS-DOS (FAT32)", total, free, true, true, false};
}
VolumeVerdict ntfsReadOnly() { return VolumeVerdict{"NTFS", 1000, 10, false, true, true}; }
VolumeVerdict ext4() { return VolumeVerdict{"ext4", 1000, 10, true, false, false}; }
VolumeVerdict fatReadOnly() {
  return VolumeVerdict{"MS-DOS (FAT32)", 1000, 10, false, true, false};
}

std::array<uint8_t, 512> logPage(const std::string& model, const char* signature = "Rock") {
  std::array<uint8_t, 512> p{};
  std::memcpy(p.data() + 17, signature, 4);
  std::memcpy(p.data() + 179, model.data(), model.size());
  p[195] = static_cast<uint8_t>(model.size());
  return p;
}

RegistryValue le32(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return RegistryValue::data({a, b, c, d});
}

class Finder : public testing::Test {
 protected:
  Finder() {
    services.registry = std::unique_ptr<DeviceRegistry>(registry);
    services.smart = std::unique_ptr<SmartLogReader>(smart);
    services.volumes = std::unique_ptr<VolumeTable>(volumes);
    services.preferences = std::unique_ptr<Preferences>(prefs);
    services.inspector = std::unique_ptr<VolumeExaminer>(inspector);
    TessalineFinder::setNoTessalineExplain(std::nullopt);
  }

  // ATA device (SMART) below a tunnelled adapter with these IDs.
  std::shared_ptr<Node> adapterChain(RegistryValue vendor, RegistryValue device,
                                     bool tunnelled = true) {
    auto adapter = std::make_shared<Node>(Node{"0000:05:00.0", {}, nullptr});
    adapter->props["IOPCITunnelled"] = RegistryValue::boolean(tunnelled);
    adapter->props["subsystem-vendor-id"] = std::move(vendor);
    adapter->props["subsystem-id"] = std::move(device);
    auto ata = std::make_shared<Node>(Node{"ata-device", {}, adapter});
    ata->props["SMART Capable"] = RegistryValue::boolean(true);
    return ata;
  }

  // A Tessaline disk sdb whose partitions sdb1, sdb2, ... hold these
  // volumes, tagged -1, -2, ..., each with its verdict.
  void tessalineWith(const std::vector<std::pair<std::string, VolumeVerdict>>& held) {
    std::vector<std::string> parts;
    for (size_t i = 0; i < held.size(); ++i) parts.push_back("sdb" + std::to_string(i + 1));
    registry->addDisk("Marovex Vextra Tessaline Media", "sdb", parts);
    for (size_t i = 0; i < held.size(); ++i) {
      volumes->add(held[i].first, parts[i], static_cast<int16_t>(-1 - static_cast<int>(i)));
      inspector->verdicts[parts[i]] = held[i].second;
    }
  }

  std::vector<std::string> titles() const {
    std::vector<std::string> t;
    for (auto& i : finder.items()) t.push_back(i.title);
    return t;
  }

  MemoryRegistry* registry = new MemoryRegistry;
  MemorySmart* smart = new MemorySmart;
  MemoryVolumes* volumes = new MemoryVolumes;
  MemoryPreferences* prefs = new MemoryPreferences;
  MemoryInspector* inspector = new MemoryInspector;
  DriveServices services;
  TessalineFinder finder{services};
};

// ---- Recognising drives ----------------------------------------------------

TEST(TessalineFinderName, NeedsPrefixSuffixAndBothWordsInThatCase) {
  EXPECT_TRUE(TessalineFinder::mediaNameIsTessaline("Marovex Vextra Tessaline Media"));
  EXPECT_TRUE(TessalineFinder::mediaNameIsTessaline("Marovex Tessaline 2 Vextra Media"));
  EXPECT_FALSE(TessalineFinder::mediaNameIsTessaline("Marovex Vextra Media"));
  EXPECT_FALSE(TessalineFinder::mediaNameIsTessaline("Marovex vextra tessaline Media"));
  EXPECT_FALSE(TessalineFinder::mediaNameIsTessaline("MarovexVextra Tessaline Media"));
  EXPECT_FALSE(TessalineFinder::mediaNameIsTessaline("Marovex Vextra Tessaline media"));
  EXPECT_FALSE(TessalineFinder::mediaNameIsTessaline("ATA Vextra Tessaline Media"));
}

TEST(TessalineFinderIds, FourBytesLittleEndianOnly) {
  EXPECT_EQ(TessalineFinder::getABUInt32FromOSData(le32(0x2E, 0x1C, 0, 0)), 0x1C2Eu);
  EXPECT_EQ(TessalineFinder::getABUInt32FromOSData(le32(0, 0, 0x1C, 0x2E)), 0x2E1C0000u);
  EXPECT_EQ(TessalineFinder::getABUInt32FromOSData(RegistryValue::data({0x2E, 0x1C, 0})), 0u);
  EXPECT_EQ(TessalineFinder::getABUInt32FromOSData(RegistryValue::data({0x2E, 0x1C, 0, 0, 0})), 0u);
  EXPECT_EQ(TessalineFinder::getABUInt32FromOSData(RegistryValue::number(0x1C2E)), 0u);
  EXPECT_EQ(TessalineFinder::getABUInt32FromOSData(RegistryValue()), 0u);
}

// A plainly named drive behind the adapter: the adapter's IDs and then the
// SMART log page decide.
TEST_F(Finder, AdapterAndLogPageIdentifyAPlainlyNamedDrive) {
  auto overlong = logPage("Vextra Tessaline");
  overlong[23] = 200;  // vendor text too long: never read, so it does not matter
  auto corrupt = logPage("Vextra Tessaline");
  corrupt[195] = 40;  // the name would run over its own length byte
  std::memcpy(corrupt.data() + 196, "Vextra Tessaline", 16);
  const RegistryValue ours = le32(0x2E, 0x1C, 0, 0), device = le32(0x01, 0x23, 0, 0);
  struct Row {
    RegistryValue vendor, device;
    bool tunnelled;
    std::array<uint8_t, 512> page;
    bool asked, found;
  } rows[] = {
      {ours, device, true, logPage("Vextra Tessaline"), true, true},
      {ours, device, true, overlong, true, true},
      {ours, device, true, logPage("Tessaline+Vextra"), true, true},
      // IDs in the other byte order, or an untunnelled adapter.
      {le32(0, 0, 0x1C, 0x2E), le32(0, 0, 0x23, 0x01), true, logPage("Vextra Tessaline"), false,
       false},
      {ours, device, false, logPage("Vextra Tessaline"), false, false},
      // The page must be signed, name both words in that case, be well formed.
      {ours, device, true, logPage("Vextra Tessaline", "rock"), true, false},
      {ours, device, true, logPage("Vextra Only"), true, false},
      {ours, device, true, logPage("vextra tessaline"), true, false},
      {ours, device, true, corrupt, true, false},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    registry->media.clear();
    registry->addDisk("ATA Disk Media", "sdb", {}, adapterChain(r.vendor, r.device, r.tunnelled));
    smart->pages["ata-device"] = r.page;
    smart->reads = 0;
    finder.loadButtonContents();
    EXPECT_EQ(smart->reads > 0, r.asked) << "row " << i;
    EXPECT_EQ(finder.candidates(),
              r.found ? std::vector<std::string>{"sdb"} : std::vector<std::string>{})
        << "row " << i;
  }
}

TEST_F(Finder, RefusedLogPageExplainsWhatToDo) {
  registry->addDisk("Some Disk Media", "sdb", {},
                    adapterChain(le32(0x2E, 0x1C, 0, 0), le32(0x01, 0x23, 0, 0)));
  registry->addDisk("Other Media", "sdc");  // not behind the adapter: never asked
  smart->refuse = true;
  finder.loadButtonContents();
  EXPECT_TRUE(finder.candidates().empty());
  std::string why = base::format(localizedString("TessalineDiskNotPermitted"), "/dev/sdb");
  ASSERT_EQ(finder.unidentified().size(), 1u);
  EXPECT_EQ(finder.unidentified()[0].device, "sdb");
  EXPECT_EQ(finder.unidentified()[0].reason, why);
  EXPECT_EQ(TessalineFinder::noTessalineExplain(), why);
  smart->refuse = false;
  finder.loadButtonContents();
  EXPECT_TRUE(finder.unidentified().empty());
}

TEST_F(Finder, FailedEnumerationLogsOneLineAndLeavesItemsAlone) {
  registry->fail = true;
  finder.addItemWithTitle("Earlier");
  base::LogCapture log;
  finder.loadButtonContents();
  EXPECT_EQ(log.lines(), std::vector<std::string>{"loadButtonContents iterator creation failed"});
  EXPECT_EQ(titles(), std::vector<std::string>{"Earlier"});
  EXPECT_EQ(TessalineFinder::noTessalineExplain(), localizedString("NoTessalineFound"));
}

TEST_F(Finder, NoDriveRecognisedLeavesItemsUntouched) {
  registry->addDisk("Generic Media", "sda", {"sda1"});
  volumes->add("System", "sda1", -100);
  finder.addItemWithTitle("Earlier");
  EXPECT_EQ(TessalineFinder::noTessalineExplain(), std::nullopt);
  finder.loadButtonContents();
  EXPECT_EQ(titles(), std::vector<std::string>{"Earlier"});
  EXPECT_EQ(TessalineFinder::noTessalineExplain(), localizedString("NoTessalineFound"));
  EXPECT_TRUE(inspector->inspected.empty());
  EXPECT_EQ(prefs->writes, 0);
}

// ---- Volumes -------------------------------------------------------------------

TEST_F(Finder, OnlyVolumesOfCandidateDisksAreOffered) {
  registry->addDisk("Marovex Vextra Tessaline Media", "sdb", {"sdb1"});
  registry->addDisk("Generic Media", "sdba", {"sdba1"});
  registry->addDisk("Marovex Vextra Tessaline Media", "sdc");  // volume on the whole disk
  volumes->add("Mine", "sdb1", -1);
  volumes->add("NotMine", "sdba1", -2);
  volumes->slots.push_back(std::nullopt);  // unreadable: skipped
  volumes->add("proc", "", -3);            // no device: skipped
  volumes->add("Stick", "sdc", -4);
  for (auto d : {"sdb1", "sdba1", "sdc"}) inspector->verdicts[d] = fat32();
  finder.loadButtonContents();
  EXPECT_EQ(titles(), (std::vector<std::string>{"Mine", "Stick"}));
  EXPECT_EQ(inspector->inspected, (std::vector<std::string>{"sdb1", "sdc"}));
  EXPECT_EQ(finder.items()[0].tag, -1);
  EXPECT_EQ(finder.items()[1].tag, -4);
  EXPECT_EQ(finder.items()[0].imageName, TessalineFinder::kVolumeImageName);
}

TEST_F(Finder, RepeatedNamesAreNumberedFromTwo) {
  tessalineWith({{"Music", fat32()}, {"Music", fat32()}, {"Music", fat32()}});
  finder.loadButtonContents();
  EXPECT_EQ(titles(), (std::vector<std::string>{"Music", "Music (2)", "Music (3)"}));
}

TEST_F(Finder, UsableVolumeTooltipNamesSizes) {
  tessalineWith({{"Music", fat32(int64_t{3} << 30, int64_t{16} << 30)}});
  finder.loadButtonContents();
  ASSERT_EQ(finder.numberOfItems(), 1);
  EXPECT_TRUE(finder.items()[0].enabled);
  EXPECT_EQ(finder.items()[0].toolTip,
            base::format(localizedString("TessalineDiskOKFormat"), "Music", "MS-DOS (FAT32)",
                         ui::PlaylistSpaceUsageCell::bytesString(3.0 * (1 << 30)),
                         ui::PlaylistSpaceUsageCell::bytesString(16.0 * (1 << 30))));
  // A usable volume leaves the explanation at "no drive found".
  EXPECT_EQ(TessalineFinder::noTessalineExplain(), localizedString("NoTessalineFound"));
}

TEST_F(Finder, ReadOnlyNtfsIsDisabledAndNamesOnlyTheTitle) {
  tessalineWith({{"Music", fat32()}, {"Archive", ntfsReadOnly()}});
  finder.loadButtonContents();
  ASSERT_EQ(finder.numberOfItems(), 2);
  const ui::PopupItem& archive = finder.items()[1];
  EXPECT_FALSE(archive.enabled);
  EXPECT_EQ(archive.toolTip,
            base::format(localizedString("TessalineDiskCantWriteNTFS"), "Archive"));
  EXPECT_EQ(TessalineFinder::noTessalineExplain(), archive.toolTip);
}

TEST_F(Finder, EveryVolumeUnusableEmptiesThePopupAndExplainsTheLast) {
  // Mystery: the inspection found nothing at all.
  tessalineWith({{"Linux", ext4()}, {"Locked", fatReadOnly()}, {"Mystery", VolumeVerdict()}});
  finder.addItemWithTitle("Earlier");
  finder.loadButtonContents();
  EXPECT_EQ(finder.numberOfItems(), 0);
  EXPECT_EQ(
      TessalineFinder::noTessalineExplain(),
      base::format(localizedString("TessalineDiskBadFormat"), "Mystery",
                   base::LocalizedStrings::shared().lookup("unknown FS", "Unknown File System")));
}

TEST_F(Finder, CantWriteTextNamesTheFileSystem) {
  tessalineWith({{"Locked", fatReadOnly()}});
  finder.loadButtonContents();
  EXPECT_EQ(TessalineFinder::noTessalineExplain(),
            base::format(localizedString("TessalineDiskCantWrite"), "Locked", "MS-DOS (FAT32)"));
}

// ---- The remembered volume --------------------------------------------------------

TEST_F(Finder, AbsentPreferenceTakesTheFirstVolumeMetAndPreselectsItOnlyIfUsable) {
  tessalineWith({{"Archive", ntfsReadOnly()}, {"Music", fat32()}});
  finder.loadButtonContents();
  EXPECT_EQ(prefs->value, "Archive");
  EXPECT_EQ(prefs->writes, 1);
  EXPECT_EQ(finder.indexOfSelectedItem(), -1);  // Archive is not usable

  prefs->value.reset();
  prefs->writes = 0;
  volumes->slots.clear();
  volumes->add("Music", "sdb2", -2);
  volumes->add("Archive", "sdb1", -1);
  finder.loadButtonContents();
  EXPECT_EQ(prefs->value, "Music");
  EXPECT_EQ(prefs->writes, 1);
  EXPECT_EQ(finder.indexOfSelectedItem(), 0);
}

TEST_F(Finder, StoredNameIsNeverChangedAndSelectsTheUsableVolumeOfThatName) {
  tessalineWith({{"Archive", fat32()}, {"Music", fat32()}});
  prefs->value = "Music";
  finder.loadButtonContents();
  EXPECT_EQ(prefs->writes, 0);
  EXPECT_EQ(prefs->value, "Music");
  EXPECT_EQ(finder.indexOfSelectedItem(), 1);
}

TEST_F(Finder, StoredNameOfAnUnusableVolumePreselectsNothing) {
  tessalineWith({{"Music", fat32()}, {"Archive", ntfsReadOnly()}});
  prefs->value = "Archive";
  finder.loadButtonContents();
  EXPECT_EQ(finder.numberOfItems(), 2);
  EXPECT_EQ(finder.indexOfSelectedItem(), -1);
}

TEST_F(Finder, PreferenceOfAnotherTypeIsNeitherOverwrittenNorMatched) {
  tessalineWith({{"Music", fat32()}});
  prefs->nonString = true;
  finder.loadButtonContents();
  EXPECT_EQ(prefs->writes, 0);
  EXPECT_EQ(finder.indexOfSelectedItem(), -1);
}

// ---- Paths ---------------------------------------------------------------------------

TEST_F(Finder, PathForDiskIdEndsInSlashOrIsEmpty) {
  volumes->add("Music", "sdb1", -7);
  volumes->slots.push_back(MountedVolume{-100, "/", "/", "sda2"});
  EXPECT_EQ(TessalineFinder::getPathForDiskID(-7, *volumes), "/media/Music/");
  EXPECT_EQ(TessalineFinder::getPathForDiskID(-100, *volumes), "/");
  EXPECT_EQ(TessalineFinder::getPathForDiskID(-8, *volumes), "");
  // Taken as 16 bits: 65529 is -7.
  EXPECT_EQ(TessalineFinder::getPathForDiskID(65529, *volumes), "/media/Music/");
}

// ---- The Linux backends together -------------------------------------------------------

TEST(FinderOnSysfs, PartitionsAreMatchedThroughSysfsNotByNamePrefix) {
  drive_test::FakeHardware hw;
  std::string tessa = "pci0000:00/0000:00:14.0/usb2/2-1/host6/target6:0:0/6:0:0:0";
  std::string other = "pci0000:00/0000:00:14.0/usb2/2-2/host7/target7:0:0/7:0:0:0";
  std::string nvme = "pci0000:00/0000:00:1d.0/nvme/nvme0";
  hw.addScsiDevice(tessa, "Marovex", "Vextra Tessaline");
  hw.addDisk(tessa, "sdb", 8, 16, {"sdb1"});
  hw.addScsiDevice(other, "Generic", "Flash Disk");
  hw.addDisk(other, "sdba", 65, 160, {"sdba1"});
  hw.addDevice(nvme);
  hw.write("sys/devices/" + nvme + "/model", "Marovex Vextra Tessaline\n");
  hw.addDisk(nvme, "nvme0n1", 259, 0, {"nvme0n1p1"});
  hw.mountinfo({"30 1 8:17 / /media/a rw - vfat /dev/sdb1 rw",
                "31 1 65:161 / /media/b rw - vfat /dev/sdba1 rw",
                "32 1 259:1 / /media/c rw - vfat /dev/nvme0n1p1 rw"});

  DriveServices services;
  services.registry = std::make_unique<SysfsDeviceRegistry>(hw.sys());
  services.smart = std::make_unique<RecordedSmartLogReader>(hw.root / "smart");
  services.volumes =
      std::make_unique<MountinfoVolumeTable>(hw.root / "proc", hw.sys(), hw.root / "dev");
  services.preferences = std::make_unique<MemoryPreferences>();
  auto* inspector = new MemoryInspector;
  services.inspector.reset(inspector);
  for (auto d : {"sdb1", "sdba1", "nvme0n1p1"}) inspector->verdicts[d] = fat32();

  TessalineFinder finder(services);
  finder.loadButtonContents();
  EXPECT_EQ(finder.candidates(), (std::vector<std::string>{"nvme0n1", "sdb"}));
  std::vector<std::string> titles;
  for (auto& i : finder.items()) titles.push_back(i.title);
  EXPECT_EQ(titles, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(inspector->inspected, (std::vector<std::string>{"sdb1", "nvme0n1p1"}));
}

}  // namespace
}  // namespace finder
