#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "base/Log.h"
#include "compat/finder/FSNamesAndTags.h"
#include "drive/FakeFileSystemSource.h"
#include "drive/Fixtures.h"
#include "drive/LinuxFileSystems.h"
#include "drive/MacFileSystemBundles.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

namespace finder {
using namespace drive;
namespace {

namespace stdfs = std::filesystem;
using fakes::FakeFileSystemSource;

std::unique_ptr<FSNamesAndTags> catalogueOf(std::shared_ptr<FileSystemBundleSource> source) {
  base::LogCapture quiet;
  return FSNamesAndTags::makeUnshared(std::move(source));
}

// A temporary folder removed at the end of the test.
struct TempDir : testsupport::TempDir {
  void write(const std::string& rel, const std::string& bytes, bool executable = false) const {
    testsupport::writeFile(*this / rel, bytes);
    if (executable) stdfs::permissions(*this / rel, stdfs::perms::owner_all);
  }
};

const char* kDisabledSettings =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
    "<key>DisableDriver</key><string>1</string></dict></plist>";

TEST(FSCatalogue, ScanLogLinesAndIndexes) {
  auto source = std::make_shared<FakeFileSystemSource>();
  FSBundleDescription closed;
  closed.path = "/fs/closed.fs";
  closed.opened = false;
  FSBundleDescription noViews;
  noViews.path = "/fs/broken.fs";
  noViews.descriptionPath = "/fs/broken.fs/Contents/Info.plist";
  noViews.rawPersonalities = FSPersonalityList{};
  source->addDescription(closed).addDescription(noViews);
  source->add("/fs/a.fs", {{"Alpha", FakeFileSystemSource::formatter("Tag_A", "Alpha FS")},
                           {"NoHint", FakeFileSystemSource::formatter(nullptr, "No Hint FS")},
                           {"Nameless", FakeFileSystemSource::formatter("Tag_N", nullptr)},
                           {"EmptyExe", FakeFileSystemSource::formatter("Tag_E", "Empty", "")}});
  base::LogCapture log;
  auto c = FSNamesAndTags::makeUnshared(source);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "scanFSDir examining file system at /fs/closed.fs",
                             "scanFSDir examining file system at /fs/broken.fs",
                             "scanFSDir missing personalities at /fs/broken.fs/Contents/Info.plist",
                             "scanFSDir examining file system at /fs/a.fs",
                             "scanFSDir found personalities for key Alpha",
                             "scanFSDir setting dictionary entries for key Alpha",
                             "scanFSDir found personalities for key NoHint",
                             "scanFSDir found personalities for key Nameless",
                             "scanFSDir found personalities for key EmptyExe",
                             "scanFSDir setting dictionary entries for key EmptyExe",
                         }));
  log.clear();
  EXPECT_EQ(c->userFSNameForPersonality("Alpha"), "Alpha FS");
  EXPECT_EQ(c->userFSNameForContentHint("Tag_A"), "Alpha FS");
  EXPECT_TRUE(c->personalityIsFormattable("Alpha"));
  EXPECT_TRUE(c->contentHintIsFormattable("Tag_A"));
  // Without a content hint: reachable by personality only.
  EXPECT_EQ(c->userFSNameForPersonality("NoHint"), "No Hint FS");
  EXPECT_EQ(c->userFSNameForContentHint("NoHint"), "Unknown File System");
  // Without a name: in no index.
  EXPECT_EQ(c->userFSNameForPersonality("Nameless"), "Unknown File System");
  EXPECT_FALSE(c->contentHintIsFormattable("Tag_N"));
  // An empty formatter is catalogued but cannot format.
  EXPECT_EQ(c->userFSNameForPersonality("EmptyExe"), "Empty");
  EXPECT_FALSE(c->personalityIsFormattable("EmptyExe"));
  EXPECT_FALSE(c->personalityIsFormattable("Missing"));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "userFSNameForContentHint failed lookup for key NoHint",
                             "userFSNameForPersonality failed lookup for key Nameless",
                         }));
  EXPECT_EQ(c->outputVolumeName(), "Corvane");
  EXPECT_EQ(c->fat32FormatterName(), "MS-DOS FAT32");
}

TEST(FSCatalogue, FormatterChoice) {
  auto source = std::make_shared<FakeFileSystemSource>();
  source->add("/fs/msdos.fs",
              {{"MS-DOS FAT32", FakeFileSystemSource::formatter("DOS_FAT_32", "MS-DOS (FAT32)")}});
  // Without NTFS: FAT32.
  auto fatOnly = catalogueOf(source);
  EXPECT_FALSE(fatOnly->ntfsFormatterName());
  EXPECT_EQ(fatOnly->preferredFormatterName(), "MS-DOS FAT32");
  EXPECT_TRUE(fatOnly->useFAT32Formatter());

  source->add("/fs/ntfs-3g.fs",
              {{"NTFS-3G", FakeFileSystemSource::formatter("Windows_NTFS", "NTFS-3G")}});
  source->add("/fs/tuxera.fs",
              {{"Tuxera NTFS", FakeFileSystemSource::formatter(nullptr, "Tuxera NTFS")},
               {"Apple NTFS", FakeFileSystemSource::formatter(nullptr, "Apple NTFS", "")}});
  auto both = catalogueOf(source);
  EXPECT_EQ(both->ntfsFormatterName(), "NTFS-3G") << "the shorter name wins";
  EXPECT_EQ(both->preferredFormatterName(), "NTFS-3G");
  EXPECT_EQ(both->preferredFormatterUserName(), "NTFS-3G");
  EXPECT_FALSE(both->useFAT32Formatter());

  // Switched off: NTFS-3G is neither formattable nor chosen.
  source->setDisabled(true);
  auto off = catalogueOf(source);
  EXPECT_FALSE(off->personalityIsFormattable("NTFS-3G"));
  EXPECT_FALSE(off->contentHintIsFormattable("Windows_NTFS"));
  EXPECT_EQ(off->ntfsFormatterName(), "Tuxera NTFS");

  auto onlyNtfs3g = std::make_shared<FakeFileSystemSource>();
  onlyNtfs3g->add("/fs/ntfs-3g.fs",
                  {{"NTFS-3G", FakeFileSystemSource::formatter("Windows_NTFS", "NTFS-3G")}});
  auto live = catalogueOf(onlyNtfs3g);
  EXPECT_EQ(live->ntfsFormatterName(), "NTFS-3G");
  // The switch is read again when the formatter is chosen.
  onlyNtfs3g->setDisabled(true);
  EXPECT_FALSE(live->ntfsFormatterName());
  EXPECT_TRUE(live->useFAT32Formatter());
  EXPECT_EQ(live->preferredFormatterName(), "MS-DOS FAT32");
}

TEST(FSCatalogue, MacBundlesFromRealDescriptions) {
  std::string dir = fakes::fixtureDir("fs-bundles");
  auto read = [&](const char* name) { return fakes::readFixture(dir + name); };
  TESSALINE_REQUIRE_FIXTURE(read("msdosfs-229.1.4_Info-msdos_fs.plist"),
                            "msdosfs-229.1.4_Info-msdos_fs.plist");
  TempDir root;
  root.write("msdos.fs/Contents/Info.plist", *read("msdosfs-788.0.6.0.1_Info-msdos_fs.plist"));
  root.write("msdos.fs/Contents/Resources/English.lproj/InfoPlist.strings",
             *read("msdosfs-788.0.6.0.1_msdos_util_en_InfoPlist.strings"));
  root.write("hfs.fs/Contents/Info.plist", *read("hfs-715.100.10_fs_Info.plist"));
  root.write("hfs.fs/Contents/Resources/en.lproj/InfoPlist.strings",
             *read("hfs-715.100.10_fs_en_InfoPlist.strings"));
  root.write("ntfs.fs/Contents/Info.plist", *read("ntfs-161_ntfs.fs_Info.plist"));
  root.write("ntfs.fs/Contents/Resources/English.lproj/InfoPlist.strings",
             *read("ntfs-161_ntfs.fs_en_InfoPlist.strings"));
  // An app extension's description has no personalities.
  root.write("Extensions/msdos.fs/Contents/Info.plist",
             *read("msdosfs-788.0.6.0.1_msdos_appex_Info.plist"));
  root.write("notabundle/Contents/Info.plist", "x");

  base::LogCapture log;
  auto c = FSNamesAndTags::makeUnshared(
      std::make_shared<MacFileSystemBundles>(root.path(), root.path() + "/ntfs-3g.plist"));
  EXPECT_EQ(log.count("scanFSDir missing personalities at " + root.path() +
                      "/Extensions/msdos.fs/Contents/Info.plist"),
            1u);
  EXPECT_EQ(log.count("scanFSDir examining file system at " + root.path() + "/ntfs.fs"), 1u);
  EXPECT_EQ(log.count("scanFSDir found personalities for key NTFS"), 1u);
  EXPECT_EQ(c->userFSNameForPersonality("MS-DOS FAT32"), "MS-DOS (FAT32)");
  EXPECT_EQ(c->userFSNameForContentHint("DOS_FAT_32"), "MS-DOS (FAT32)");
  EXPECT_TRUE(c->personalityIsFormattable("MS-DOS FAT32"));
  EXPECT_EQ(c->userFSNameForPersonality("Journaled HFS+"), "Mac OS Extended (Journaled)");
  EXPECT_EQ(c->userFSNameForContentHint("Apple_HFSX"),
            "Mac OS Extended (Case-sensitive, Journaled)");
  EXPECT_EQ(c->userFSNameForPersonality("HFS"), "Mac OS Standard");
  // The UTF-16 strings file names NTFS; NTFS cannot format here.
  EXPECT_EQ(c->userFSNameForPersonality("NTFS"), "Windows NT File System (NTFS)");
  EXPECT_FALSE(c->personalityIsFormattable("NTFS"));
  EXPECT_FALSE(c->ntfsFormatterName());
  EXPECT_TRUE(c->useFAT32Formatter());
}

TEST(FSCatalogue, MacLocalisedViewDecidesTheName) {
  TempDir root;
  root.write("x.fs/Contents/Info.plist",
             "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>FSPersonalities</key><dict>"
             "<key>X</key><dict><key>FSName</key><string>Raw X</string>"
             "<key>FSFormatExecutable</key><string>newfs_x</string></dict>"
             "<key>Y</key><dict><key>FSName</key><string>Raw Y</string></dict>"
             "</dict></dict></plist>");
  // UTF-16LE with a byte-order mark, naming only X.
  std::string utf8 =
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist version=\"1.0\"><dict>"
      "<key>FSPersonalities</key><dict><key>X</key><dict><key>FSName</key>"
      "<string>Localised X</string></dict></dict></dict></plist>";
  std::string utf16 = "\xFF\xFE";
  for (char ch : utf8) {
    utf16.push_back(ch);
    utf16.push_back('\0');
  }
  root.write("x.fs/Contents/Resources/en.lproj/InfoPlist.strings", utf16);
  auto c = catalogueOf(std::make_shared<MacFileSystemBundles>(root.path(), root.path() + "/none"));
  EXPECT_EQ(c->userFSNameForPersonality("X"), "Localised X");
  EXPECT_TRUE(c->personalityIsFormattable("X"));
  base::LogCapture quiet;
  EXPECT_EQ(c->userFSNameForPersonality("Y"), "Unknown File System")
      << "a personality missing from the bundle's view is skipped";
}

TEST(FSCatalogue, SettingsFileSwitchesNtfs3gOff) {
  TempDir root;
  EXPECT_FALSE(FileSystemBundleSource::settingsDisableDriver(root.path() + "/missing.plist"));
  root.write("on.plist",
             "<plist version=\"1.0\"><dict><key>DisableDriver</key><string>0</string>"
             "</dict></plist>");
  root.write("int.plist",
             "<plist version=\"1.0\"><dict><key>DisableDriver</key><integer>1"
             "</integer></dict></plist>");
  root.write("broken.plist", "<plist version=\"1.0\"><dict><key>DisableDriver</key>");
  root.write("off.plist", kDisabledSettings);
  EXPECT_FALSE(FileSystemBundleSource::settingsDisableDriver(root.path() + "/on.plist"));
  EXPECT_FALSE(FileSystemBundleSource::settingsDisableDriver(root.path() + "/int.plist"));
  EXPECT_FALSE(FileSystemBundleSource::settingsDisableDriver(root.path() + "/broken.plist"));
  EXPECT_TRUE(FileSystemBundleSource::settingsDisableDriver(root.path() + "/off.plist"));
}

// A fake Linux machine: kernel 6.1.0-test with FAT, exFAT (FUSE), the old
// read-only NTFS driver, NTFS-3G and hfsplus, and some formatters.
struct FakeLinux : TempDir {
  FakeLinux() {
    write("proc/sys/kernel/osrelease", "6.1.0-test\n");
    write("proc/filesystems", "nodev\tsysfs\nnodev\tproc\n\text4\n\tvfat\n\tfuseblk\n");
    write("lib/modules/6.1.0-test/kernel/fs/ntfs/ntfs.ko.xz", "");
    write("lib/modules/6.1.0-test/kernel/fs/hfsplus/hfsplus.ko", "");
    write("usr/sbin/mkfs.fat", "", true);
    write("usr/sbin/mkfs.ntfs", "", true);
    write("usr/bin/ntfs-3g", "", true);
    write("sbin/mount.exfat-fuse", "", true);
    write("usr/bin/mkfs.exfat", "", false);  // not executable: not installed
  }
  std::shared_ptr<LinuxFileSystems> source() const {
    return std::make_shared<LinuxFileSystems>(
        path(), std::vector<std::string>{"/usr/bin", "/usr/sbin", "/sbin"});
  }
};

TEST(FSCatalogue, LinuxDriversAndFormatters) {
  FakeLinux machine;
  base::LogCapture log;
  auto c = FSNamesAndTags::makeUnshared(machine.source());
  EXPECT_EQ(log.count("scanFSDir examining file system at " + machine.path() + "/proc/filesystems"),
            2u);  // vfat and ext4
  EXPECT_EQ(log.count("scanFSDir examining file system at " + machine.path() + "/usr/bin/ntfs-3g"),
            1u);
  EXPECT_EQ(c->userFSNameForPersonality("MS-DOS FAT32"), "MS-DOS (FAT32)");
  EXPECT_EQ(c->userFSNameForContentHint("DOS_FAT_32"), "MS-DOS (FAT32)");
  EXPECT_TRUE(c->personalityIsFormattable("MS-DOS FAT32"));
  EXPECT_EQ(c->userFSNameForPersonality("ExFAT"), "ExFAT");
  EXPECT_FALSE(c->personalityIsFormattable("ExFAT"));
  EXPECT_EQ(c->userFSNameForPersonality("Journaled HFS+"), "Mac OS Extended (Journaled)");
  EXPECT_FALSE(c->personalityIsFormattable("Journaled HFS+"));
  // The old kernel driver only reads: NTFS cannot format; NTFS-3G can.
  EXPECT_FALSE(c->personalityIsFormattable("NTFS"));
  EXPECT_TRUE(c->personalityIsFormattable("NTFS-3G"));
  EXPECT_EQ(c->ntfsFormatterName(), "NTFS-3G");

  machine.write("etc/tessaline/ntfs-3g.plist", kDisabledSettings);
  auto off = catalogueOf(machine.source());
  EXPECT_FALSE(off->personalityIsFormattable("NTFS-3G"));
  EXPECT_TRUE(off->useFAT32Formatter());

  // With the writing kernel driver, the shorter "NTFS" wins even when
  // NTFS-3G is on.
  stdfs::remove(machine.path() + "/etc/tessaline/ntfs-3g.plist");
  machine.write("lib/modules/6.1.0-test/kernel/fs/ntfs3/ntfs3.ko.zst", "");
  auto both = catalogueOf(machine.source());
  EXPECT_TRUE(both->personalityIsFormattable("NTFS"));
  EXPECT_TRUE(both->personalityIsFormattable("NTFS-3G"));
  EXPECT_EQ(both->ntfsFormatterName(), "NTFS");
  EXPECT_TRUE(both->contentHintIsFormattable("Windows_NTFS"));
}

TEST(FSCatalogueSharedThreaded, ConcurrentFirstRequestsGetOneInstance) {
  std::atomic<FSNamesAndTags*> seen[4] = {};
  std::vector<std::thread> threads;
  for (auto& slot : seen) {
    threads.emplace_back([&slot] { slot = FSNamesAndTags::sharedManager(); });
  }
  for (auto& t : threads) t.join();
  for (auto& slot : seen) EXPECT_EQ(slot.load(), seen[0].load());
  EXPECT_NE(seen[0].load(), nullptr);
}

}  // namespace
}  // namespace finder
