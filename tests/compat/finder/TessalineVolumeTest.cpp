#include <gtest/gtest.h>

#include <filesystem>

#include "base/Log.h"
#include "compat/finder/FSNamesAndTags.h"
#include "compat/finder/TessalineVolume.h"
#include "drive/FakeFileSystemSource.h"
#include "drive/Fixtures.h"
#include "drive/PropertyList.h"
#include "drive/VolumeJudgement.h"
#include "support/Fixtures.h"

namespace finder {
using namespace drive;
namespace {

using fakes::FakeFileSystemSource;
using PL = PropertyList;

using fakes::readFixture;
const std::string kPlistFixtures = fakes::fixtureDir("diskutil-plist");
const std::string kTextFixtures = fakes::fixtureDir("diskutil-text");

// A disk tool that answers from canned reports and records its calls.
struct FakeTool {
  int plistStatus = 0;
  std::optional<std::string> plist;
  int textStatus = 0;
  std::optional<std::string> text;
  std::vector<std::string> commands;

  ShellRunner runner() {
    return [this](const std::string& command, std::optional<std::string>* out) {
      commands.push_back(command);
      bool wantsPlist = command.find(" info -plist ") != std::string::npos;
      *out = wantsPlist ? plist : text;
      return wantsPlist ? plistStatus : textStatus;
    };
  }
};

class VolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto source = std::make_shared<FakeFileSystemSource>();
    source->add(
        "/fs/msdos.fs",
        {{"MS-DOS FAT32", FakeFileSystemSource::formatter("DOS_FAT_32", "MS-DOS (FAT32)")}});
    source->add("/fs/hfs.fs",
                {{"Journaled HFS+",
                  FakeFileSystemSource::formatter("Apple_HFS", "Mac OS Extended (Journaled)")}});
    source->add("/fs/ntfs.fs",
                {{"NTFS", FakeFileSystemSource::formatter("Windows_NTFS",
                                                          "Windows NT File System (NTFS)", "")}});
    source->add("/fs/ntfs-3g.fs",
                {{"NTFS-3G", FakeFileSystemSource::formatter(nullptr, "NTFS-3G", "mkntfs")}});
    base::LogCapture quiet;
    catalogue_ = FSNamesAndTags::makeUnshared(source);
  }

  std::unique_ptr<TessalineVolume> inspect(const std::string& slice) {
    auto volume = std::make_unique<TessalineVolume>(tool_.runner(), catalogue_.get());
    volume->initWithSliceName(slice);
    return volume;
  }

  static std::string plist(PL::Dict d) { return PL::dict(std::move(d)).toXml(); }

  FakeTool tool_;
  std::unique_ptr<FSNamesAndTags> catalogue_;
};

// Binary units from the leading number; unknown units give the number,
// no number gives 0, and values beyond 64 bits are marked implausible.
TEST(VolumeDiskSize, ParsesTheLeadingNumberAndItsUnit) {
  // clang-format off
  const std::pair<const char*, int64_t> cases[] = {
      {"500.1 GB (500107862016 Bytes)", 536978286182}, {"74.5 GB", 79993765888},
      {"3.0 TB", 3298534883328}, {"2.7 MB", 2831155}, {"512 Bytes", 512}, {"1.5 Ki", 1536},
      {"  7.8 Gi", 8375186227}, {"500.1 GiB", 500}, {"2 gb", 2}, {"12.34", 12},
      {"Not applicable (no file system)", 0}, {"", 0}, {"inf GB", 0}, {"0x10 GB", 0},
      {"9999999999 TB", -1}, {"1e40 Bytes", -1}, {"-2.0 GB", -2147483648}};
  // clang-format on
  for (const auto& [text, bytes] : cases)
    EXPECT_EQ(TessalineVolume::parseDiskSize(text), bytes) << text;
}

// The slice is quoted for the shell; a failed plist run ends the
// inspection: no text run, nothing known.
TEST_F(VolumeTest, CommandsQuoteTheSliceAndAFailedPlistRunEndsTheInspection) {
  tool_.plistStatus = 256;
  tool_.text = "File System: MS-DOS FAT32\n";
  auto v = inspect("sd'b1");
  ASSERT_EQ(tool_.commands.size(), 1u);
  EXPECT_EQ(tool_.commands[0], TessalineVolume::diskToolCommand() + " info -plist 'sd'\\''b1'");
  EXPECT_EQ(v->diskSlice(), "sd'b1");
  EXPECT_FALSE(v->fsName() || v->contentTag() || v->totalBytes() || v->freeBytes());
  EXPECT_FALSE(v->fsIsWritable() || v->fsIsCompatible() || v->fsIsNTFS() || v->fsLimit4G());

  TessalineVolume unrun(ShellRunner(), catalogue_.get());
  base::LogCapture log;
  EXPECT_FALSE(unrun.initWithSliceName("sdb1").contentTag());
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "TessalineVolume cannot inspect slice sdb1: no command runner"});
}

TEST_F(VolumeTest, PlistWithoutWritableOrSizes) {
  tool_.plist = plist({{"FilesystemName", PL::string("Journaled HFS+")}});
  auto v = inspect("sdb2");
  EXPECT_EQ(v->fsName(), "Mac OS Extended (Journaled)");
  EXPECT_FALSE(v->contentTag());
  EXPECT_FALSE(v->fsIsWritable());
  EXPECT_FALSE(v->totalBytes());
  EXPECT_FALSE(v->freeBytes());
  // No content tag and a personality that is not FAT32 or NTFS.
  EXPECT_FALSE(v->fsIsCompatible());
}

TEST_F(VolumeTest, PlistTooDeepTooLargeOrHoldingANulIsRefused) {
  // libplist takes all three; the text report is read instead.
  std::string head = "<plist><dict><key>Content</key><string>DOS_FAT_32</string><key>x</key>";
  std::string deep = head, wide = head + "<array>", nul = head + "<string>I@O</string>";
  for (int i = 0; i < 65; ++i) deep += "<array>";
  for (int i = 0; i < 65; ++i) deep += "</array>";
  for (int i = 0; i < 10000; ++i) wide += "<dict/>";
  wide += "</array>";
  nul[nul.find('@')] = '\0';
  for (const std::string& report : {deep, wide, nul}) {
    tool_ = FakeTool();
    tool_.plist = report + "</dict></plist>";
    tool_.text = "   Partition Type:  Windows_NTFS\n";
    base::LogCapture quiet;
    EXPECT_EQ(inspect("sdb1")->contentTag(), "Windows_NTFS") << report.substr(head.size(), 20);
  }
}

TEST_F(VolumeTest, ClassificationRows) {
  struct Row {
    std::optional<std::string> content, personality;
    bool compatible, ntfs, limit4G;
  };
  const Row rows[] = {
      // The file system decides before the partition type.
      {"DOS_FAT_32", "NTFS", false, true, false},
      {"DOS_FAT_32", "MS-DOS", true, false, true},
      {"Windows_NTFS", "ExFAT", false, false, false},  // MBR type 0x07
      {"Microsoft Basic Data", "MS-DOS FAT32", true, false, true},
      {"Apple_HFS", std::nullopt, true, false, false},
      {"Apple_HFSX", "NTFS", false, true, false},
      {"Apple_HFSX", "Case-sensitive HFS+", true, false, false},
      {"xHFSy", std::nullopt, true, false, false},
      {"Apple_hfs", std::nullopt, false, false, false},    // case-sensitive
      {"Windows_NTFS", std::nullopt, false, true, false},  // NTFS itself cannot format
      {"Microsoft Basic Data", "NTFS", false, true, false},
      {"Microsoft Basic Data", "NTFS-3G", true, true, false},
      {"Microsoft Basic Data", "3G-NTFSx", false, false, false},  // neither begins nor ends
      {std::nullopt, "Tuxera NTFS", false, true, false},
      {"Microsoft Basic Data", "ExFAT", false, false, false},
      {std::nullopt, std::nullopt, false, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.content.value_or("-") + " / " + row.personality.value_or("-"));
    PL::Dict d;
    if (row.content) d.emplace_back("Content", PL::string(*row.content));
    if (row.personality) d.emplace_back("FilesystemName", PL::string(*row.personality));
    tool_.plist = plist(d);
    base::LogCapture quiet;
    auto v = inspect("sdc1");
    EXPECT_EQ(v->fsIsCompatible(), row.compatible);
    EXPECT_EQ(v->fsIsNTFS(), row.ntfs);
    EXPECT_EQ(v->fsLimit4G(), row.limit4G);
  }
}

TEST_F(VolumeTest, NtfsIsCompatibleOnlyWithAFormattableNtfs) {
  auto source = std::make_shared<FakeFileSystemSource>();
  source->add(
      "/fs/ntfs.fs",
      {{"NTFS", FakeFileSystemSource::formatter("Windows_NTFS", "Windows NT File System (NTFS)")}});
  base::LogCapture quiet;
  auto writer = FSNamesAndTags::makeUnshared(source);
  for (auto* catalogue : {catalogue_.get(), writer.get()}) {
    for (const char* content : {"Windows_NTFS", "Microsoft Basic Data"}) {
      tool_.plist = plist({{"Content", PL::string(content)},
                           {"FilesystemName", PL::string("NTFS")},
                           {"Writable", PL::boolean(false)}});
      TessalineVolume v(tool_.runner(), catalogue);
      v.initWithSliceName("sdd1");
      EXPECT_TRUE(v.fsIsNTFS());
      EXPECT_EQ(v.fsIsCompatible(), catalogue == writer.get()) << content;
      EXPECT_FALSE(v.fsIsWritable());
    }
    // exFAT shares the MBR type 0x07 with NTFS; an NTFS formatter says
    // nothing about it.
    tool_.plist =
        plist({{"Content", PL::string("Windows_NTFS")}, {"FilesystemName", PL::string("ExFAT")}});
    TessalineVolume v(tool_.runner(), catalogue);
    v.initWithSliceName("sdd1");
    EXPECT_FALSE(v.fsIsNTFS() || v.fsIsCompatible());
  }
}

TEST_F(VolumeTest, UnreadablePlistFallsBackToText) {
  auto truncated =
      readFixture(kPlistFixtures + "hst-imager_info-disk2-usb-stick_fat32-superfloppy.plist");
  TESSALINE_REQUIRE_FIXTURE(truncated, "the truncated disk tool fixture");
  for (std::optional<std::string> answer :
       {std::optional<std::string>(truncated->substr(0, truncated->size() / 2)),
        std::optional<std::string>(), std::optional<std::string>("not a plist\n")}) {
    tool_ = FakeTool();
    tool_.plist = answer;
    tool_.text = "   Partition Type:  DOS_FAT_32\n   Read-Only Volume: No\n";
    base::LogCapture quiet;
    auto v = inspect("sdb1");
    ASSERT_EQ(tool_.commands.size(), 2u);
    EXPECT_EQ(tool_.commands[1], TessalineVolume::diskToolCommand() + " info 'sdb1'");
    EXPECT_TRUE(v->fsIsCompatible());
    EXPECT_TRUE(v->fsIsWritable());
  }
}

TEST_F(VolumeTest, TruncatedPlistAndNoTextLeavesVolumeUnusable) {
  tool_.plist = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Content</key>";
  tool_.textStatus = 256;
  base::LogCapture log;
  auto v = inspect("sdb1");
  EXPECT_FALSE(v->contentTag());
  EXPECT_FALSE(v->fsIsCompatible() || v->fsIsWritable() || v->fsIsNTFS() || v->fsLimit4G());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"initFSVars10_4 entered for slice sdb1"});
}

TEST_F(VolumeTest, TextReportLogLines) {
  tool_.plistStatus = 0;
  tool_.text =
      "\n   File System:  MS-DOS FAT16\nNo colon here\n   Mount Point: /a:b\n"
      "   Total Size:  2.0 KB\n";
  base::LogCapture log;
  auto v = inspect("sde1");
  EXPECT_EQ(
      log.lines(),
      (std::vector<std::string>{
          "initFSVars10_4 entered for slice sde1",
          "initFSVars10_4 good cmdResult data is:\n" + *tool_.text,
          "initFSVars10_4 found key \"File System\" for value \"MS-DOS FAT16\" for slice sde1",
          "userFSNameForPersonality failed lookup for key MS-DOS FAT16",
          "initFSVars10_4 found key \"Total Size\" for value \"2.0 KB\" for slice sde1",
      }));
  EXPECT_EQ(v->fsName(), "Unknown File System");
  EXPECT_EQ(v->totalBytes(), 2048);
  EXPECT_FALSE(v->freeBytes());
}

TEST_F(VolumeTest, TextKeysAndTheirRules) {
  tool_.text =
      "File System: Journaled HFS+\n"
      "File System: MS-DOS FAT32\n"  // a later line replaces the personality
      "Total Size: 1:2 GB\n"         // two colons: ignored
      "Free Space: 1.5 MB\n"
      "Read Only: Yes\n";
  base::LogCapture quiet;
  auto v = inspect("sdf1");
  EXPECT_EQ(v->fsName(), "MS-DOS (FAT32)");
  EXPECT_FALSE(v->totalBytes());
  EXPECT_EQ(v->freeBytes(), 1572864);
  EXPECT_FALSE(v->fsIsWritable());
  EXPECT_TRUE(v->fsIsCompatible());
  EXPECT_TRUE(v->fsLimit4G());

  tool_ = FakeTool();
  tool_.text = "Read Only: No\nRead-Only Volume: Not applicable (no file system)\n";
  auto w = inspect("sdf2");
  EXPECT_FALSE(w->fsIsWritable()) << "the last of the two lines decides";
}

// The values a property-list report gives, as the drive scan reads them
// from the machine itself.
DiskInfo factsOf(const PropertyList& report) {
  auto at = [&](const char* key) { return report.find(key); };
  auto size = [&](const char* key) {
    return at(key)
               ? at(key)->asInteger().value_or(static_cast<int64_t>(at(key)->asReal().value_or(0)))
               : 0;
  };
  DiskInfo d{
      .content = at("Content") && at("Content")->asString() ? *at("Content")->asString() : "",
      .writable = at("Writable") && at("Writable")->toValue().boolValue()};
  if (at("FilesystemName") && at("FilesystemName")->asString())
    d.personality = *at("FilesystemName")->asString();
  d.totalSize = size("TotalSize");
  d.freeSpace = size("FreeSpace");
  return d;
}

// The disk tool's real reports, in its property-list form (the text run
// never needed) and in its text form.
TEST_F(VolumeTest, ReportFixtures) {
  struct Row {
    bool plist;
    const char* file;
    std::optional<std::string> fsName, content;
    std::optional<int64_t> total, free;
    bool writable, compatible, ntfs, limit4G;
  };
  const Row rows[] = {
      {true, "UNATTRIBUTED-id62560347993_info-disk12s1_fat32-mbr_ABRIDGED.plist", "MS-DOS (FAT32)",
       "DOS_FAT_32", 3888095232, 3872370688, true, true, false, true},
      // Superfloppy: empty content tag, the personality decides.
      {true, "hst-imager_info-disk2-usb-stick_fat32-superfloppy.plist", "MS-DOS (FAT32)", "",
       15665463296, 15662678016, true, true, false, true},
      // TotalSize written as a <real>.
      {true, "hst-imager_info-disk1_apfs-container_real-totalsize.plist", std::nullopt,
       "EF57347C-0000-11AA-AA11-00306543ECAC", 511900434432, 0, true, false, false, false},
      {true, "sys-line_info-disk1s5_apfs-system-readonly.plist", "Unknown File System",
       "41504653-0000-11AA-AA11-00306543ECAC", 250790436864, 0, false, false, false, false},
      {true, "getdevinfo_info-disk0s1_efi-unmounted.plist", std::nullopt, "EFI", 209715200, 0, true,
       false, false, false},
      {true, "drivelist_no-partition-info.plist", "Mac OS Extended (Journaled)", "Apple_HFS",
       999250984960, 519507255296, true, true, false, false},
      {false, "kolibri_info-disk0s2.txt", "Mac OS Extended (Journaled)", "Apple_HFS", 129922760704,
       22119081574, true, true, false, false},
      {false, "kolibri_info-disk1s1.txt", "Unknown File System", "DOS_FAT_16_S", 33659289, 11848908,
       true, false, false, false},
      {false, "drivelist_2015_info-disk1.txt", std::nullopt, std::nullopt, 268220707635,
       216681100083, true, false, false, false},
      // Modern reports: the personality key is not one of ours; the
      // content is "Microsoft Basic Data", so nothing is classified.
      {false, "UNATTRIBUTED-id45986470108_info-disk6s2_ntfs_readonly-yes.txt", std::nullopt,
       "Microsoft Basic Data", std::nullopt, 879609302220, false, false, false, false},
      {false, "issue_Canop-dysk-PR93_info-disk6s2_ntfs_TRUNCATED.txt", std::nullopt,
       "Microsoft Basic Data", std::nullopt, 2199023255552, false, false, false, false},
      {false, "UNATTRIBUTED-id35077059588_info-disk2s4_exfat_unmounted.txt", std::nullopt,
       "Microsoft Basic Data", std::nullopt, 0, false, false, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    tool_ = FakeTool();
    auto report = readFixture((row.plist ? kPlistFixtures : kTextFixtures) + row.file);
    TESSALINE_REQUIRE_FIXTURE(report, "the disk tool's report fixtures");
    (row.plist ? tool_.plist : tool_.text) = report;
    if (!row.plist) tool_.plist = "";
    base::LogCapture quiet;
    auto v = inspect("disk9s9");
    EXPECT_EQ(tool_.commands.size(), row.plist ? 1u : 2u);
    EXPECT_EQ(v->fsName(), row.fsName);
    EXPECT_EQ(v->contentTag(), row.content);
    EXPECT_EQ(v->totalBytes(), row.total);
    EXPECT_EQ(v->freeBytes(), row.free);
    EXPECT_EQ(v->fsIsWritable(), row.writable);
    EXPECT_EQ(v->fsIsCompatible(), row.compatible);
    EXPECT_EQ(v->fsIsNTFS(), row.ntfs);
    EXPECT_EQ(v->fsLimit4G(), row.limit4G);
  }
}

// Every property-list report in the fixture folder (the program asked
// for that form; the text was a fallback), read back as the disk tool's
// report and judged from its values as the drive scan judges a volume:
// one verdict.
TEST_F(VolumeTest, EveryPlistReportGetsTheSameVerdictFromItsValues) {
  std::error_code ec;
  int reports = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kPlistFixtures, ec)) {
    SCOPED_TRACE(entry.path().filename().string());
    auto text = readFixture(entry.path());
    auto report = text ? PL::parse(*text) : std::nullopt;
    if (!report || !report->isDict()) continue;
    ++reports;
    tool_ = FakeTool();
    tool_.plist = text;
    base::LogCapture quiet;
    auto v = inspect("disk9s9");
    VolumeVerdict scanned = judgeDisk(factsOf(*report), catalogue_->catalogue());
    EXPECT_EQ(scanned.fsName, v->fsName());
    EXPECT_EQ(scanned.contentTag.value_or(""), v->contentTag().value_or(""));
    EXPECT_EQ(scanned.fsIsWritable, v->fsIsWritable());
    EXPECT_EQ(scanned.fsIsCompatible, v->fsIsCompatible());
    EXPECT_EQ(scanned.fsIsNTFS, v->fsIsNTFS());
    EXPECT_EQ(scanned.fsLimit4G, v->fsLimit4G());
  }
  TESSALINE_REQUIRE_FIXTURE(reports > 0, "the disk tool's property-list reports");
}

TEST_F(VolumeTest, ImplausibleSizesMakeTheVolumeUnusable) {
  tool_.plist = plist({{"Content", PL::string("DOS_FAT_32")},
                       {"Writable", PL::boolean(true)},
                       {"TotalSize", PL::integer(-4096)},
                       {"FreeSpace", PL::integer(1024)}});
  base::LogCapture log;
  auto v = inspect("sdg1");
  EXPECT_FALSE(v->totalBytes());
  EXPECT_EQ(v->freeBytes(), 1024);
  EXPECT_FALSE(v->fsIsCompatible() || v->fsIsWritable() || v->fsLimit4G());
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "TessalineVolume implausible sizes for slice sdg1 (total -4096, free "
                             "1024): unusable"});

  // The drive scan's judgement of the same values.
  VolumeVerdict scanned = judgeDisk(
      {.deviceIdentifier = "sdg1", .content = "DOS_FAT_32", .writable = true, .totalSize = -4096},
      catalogue_->catalogue());
  EXPECT_FALSE(scanned.totalBytes || scanned.fsIsCompatible || scanned.fsIsWritable);
  EXPECT_EQ(log.lines().back(),
            "Drive scan: implausible sizes for sdg1 (total -4096, free 0): unusable");

  tool_ = FakeTool();
  tool_.plist = plist({{"Content", PL::string("Apple_HFS")}, {"TotalSize", PL::real(1e300)}});
  EXPECT_FALSE(inspect("sdg2")->fsIsCompatible());

  tool_ = FakeTool();
  tool_.text = "Partition Type: DOS_FAT_32\nTotal Size: 99999999999 TB\n";
  auto t = inspect("sdg3");
  EXPECT_FALSE(t->totalBytes());
  EXPECT_FALSE(t->fsIsCompatible());
}

}  // namespace
}  // namespace finder
