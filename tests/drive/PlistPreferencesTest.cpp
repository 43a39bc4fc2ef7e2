#include <gtest/gtest.h>

#include "FakeHardware.h"
#include "base/Log.h"
#include "drive/PlistPreferences.h"
#include "support/ScopedConfiguration.h"

namespace drive {
namespace {

using testsupport::readFile;

TEST(PlistPreferences, MissingFileHasNoValueAndFirstWriteCreatesIt) {
  drive_test::FakeHardware dir;
  PlistPreferences prefs(dir.root / "config" / "tessaline" / "preferences.plist");
  EXPECT_FALSE(prefs.hasValue("tessaline_disk_name"));
  EXPECT_EQ(prefs.stringValue("tessaline_disk_name"), std::nullopt);
  prefs.setStringValue("tessaline_disk_name", "TESSA MUSIC");
  EXPECT_TRUE(prefs.hasValue("tessaline_disk_name"));
  EXPECT_EQ(prefs.stringValue("tessaline_disk_name"), "TESSA MUSIC");
  EXPECT_NE(readFile(prefs.path()).find("<key>tessaline_disk_name</key>"), std::string::npos);
}

TEST(PlistPreferences, WriteKeepsOtherKeysAndNonStringsReadAsNone) {
  drive_test::FakeHardware dir;
  dir.write(
      "p.plist",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>other</key><string>kept</string><key>tessaline_disk_name</key><integer>7</integer>"
      "</dict></plist>\n");
  PlistPreferences prefs(dir.root / "p.plist");
  EXPECT_TRUE(prefs.hasValue("tessaline_disk_name"));
  EXPECT_EQ(prefs.stringValue("tessaline_disk_name"), std::nullopt);
  prefs.setStringValue("new", "value");
  EXPECT_EQ(prefs.stringValue("other"), "kept");
  EXPECT_EQ(prefs.stringValue("new"), "value");
}

TEST(PlistPreferences, StringHoldingANulByteReadsAsNone) {
  using namespace std::string_literals;
  drive_test::FakeHardware dir;
  dir.write("p.plist",
            "<plist version=\"1.0\"><dict><key>k</key><string>a\0b</string></dict></plist>"s);
  EXPECT_EQ(PlistPreferences(dir.root / "p.plist").stringValue("k"), std::nullopt);
}

TEST(PlistPreferences, BrokenFileIsReportedAndNeverOverwritten) {
  drive_test::FakeHardware dir;
  dir.write("p.plist", "<plist><dict><key>unterminated");
  PlistPreferences prefs(dir.root / "p.plist");
  base::LogCapture log;
  EXPECT_FALSE(prefs.hasValue("tessaline_disk_name"));
  prefs.setStringValue("tessaline_disk_name", "X");
  EXPECT_EQ(readFile(dir.root / "p.plist"), "<plist><dict><key>unterminated");
  std::string line = "preferences file " + (dir.root / "p.plist").string() +
                     " is not a property-list dictionary; it is left as it is";
  EXPECT_EQ(log.count(line), 2u);
}

TEST(PlistPreferences, DefaultPathFollowsXdgConfigHome) {
  {
    testsupport::ScopedConfiguration config([](auto& c) { c.configHome = "/somewhere/config"; });
    EXPECT_EQ(PlistPreferences::defaultPath(), "/somewhere/config/tessaline/preferences.plist");
  }
  testsupport::ScopedConfiguration config([](auto& c) {
    c.configHome = "relative";  // not absolute: ignored
    c.home = "/home/me";
  });
  EXPECT_EQ(PlistPreferences::defaultPath(), "/home/me/.config/tessaline/preferences.plist");
}

}  // namespace
}  // namespace drive
