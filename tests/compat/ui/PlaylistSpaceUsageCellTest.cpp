#include <gtest/gtest.h>

#include <cmath>

#include "base/Format.h"
#include "base/LocalizedStrings.h"
#include "base/Log.h"
#include "compat/ui/PlaylistSpaceUsageCell.h"
#include "support/TempDir.h"

namespace ui {
namespace {

using Cell = PlaylistSpaceUsageCell;

void expectRow(Cell::ScaledText got, const char* key, double value) {
  EXPECT_STREQ(got.key, key);
  EXPECT_DOUBLE_EQ(got.value, value) << key;
}

TEST(BytesString, EachUnitStartsAtTwoOfIt) {
  expectRow(Cell::scaleBytes(0), "sbFormat", 0);
  expectRow(Cell::scaleBytes(2047), "sbFormat", 2047);
  expectRow(Cell::scaleBytes(2048), "KBFormat", 2.0);
  expectRow(Cell::scaleBytes(2097151), "KBFormat", 2097151 / 1024.0);
  expectRow(Cell::scaleBytes(2097152), "MBFormat", 2.0);
  expectRow(Cell::scaleBytes(1.5 * 1073741824), "MBFormat", 1536);
  expectRow(Cell::scaleBytes(2147483648.0), "GBFormat", 2.0);
  expectRow(Cell::scaleBytes(2199023255551.0), "GBFormat", 2199023255551.0 / 1073741824);
  expectRow(Cell::scaleBytes(std::ldexp(1.0, 41)), "TBFormat", 2.0);
  expectRow(Cell::scaleBytes(-5), "sbFormat", -5);
  EXPECT_STREQ(Cell::scaleBytes(std::nan("")).key, "TBFormat");
}

TEST(SecondsString, EachUnitStartsAtTwoOfIt) {
  expectRow(Cell::scaleSeconds(119), "SecondFormat", 119);
  expectRow(Cell::scaleSeconds(120), "MinuteFormat", 2.0);
  expectRow(Cell::scaleSeconds(7199), "MinuteFormat", 7199 / 60.0);
  expectRow(Cell::scaleSeconds(7200), "HourFormat", 2.0);
  expectRow(Cell::scaleSeconds(47 * 3600), "HourFormat", 47.0);
  expectRow(Cell::scaleSeconds(172800), "DayFormat", 2.0);
  expectRow(Cell::scaleSeconds(-1), "SecondFormat", -1);
  EXPECT_STREQ(Cell::scaleSeconds(std::nan("")).key, "DayFormat");
}

TEST(BytesString, TextsComeFromTheStringTable) {
  EXPECT_EQ(Cell::bytesString(2048), base::format(base::localizedString("KBFormat"), 2.0));
  EXPECT_EQ(Cell::bytesString(2048), "2.0 KB");
  EXPECT_EQ(Cell::bytesString(1536.0 * 1048576), "1536.0 MB");
  EXPECT_EQ(Cell::bytesString(512), "512 bytes");
  EXPECT_EQ(Cell().secondsString(7200), "2.0 hours");
}

// Every key the drive popup, the size texts and the space usage caption
// look up has an English text, and each format takes the arguments its
// callers pass.
TEST(LocalizableStrings, EveryKeyUsedHasATextWithItsArguments) {
  std::string error;
  auto table = base::LocalizedStrings::parse(
      testsupport::readFile(TESSALINE_SOURCE_DIR "/resources/Localizable.strings"), &error);
  ASSERT_TRUE(table) << error;
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  struct Key {
    const char* key;
    size_t objects;
    size_t reals;
  };
  // clang-format off
  for (Key k : std::initializer_list<Key>{
           {"NoTessalineFound", 0, 0}, {"TessalineDiskOKFormat", 4, 0},
           {"TessalineDiskBadFormat", 2, 0}, {"TessalineDiskCantWriteNTFS", 1, 0},
           {"TessalineDiskCantWrite", 2, 0}, {"NTFSFileSystem", 0, 0}, {"unknown FS", 0, 0},
           {"sbFormat", 0, 1}, {"KBFormat", 0, 1}, {"MBFormat", 0, 1}, {"GBFormat", 0, 1},
           {"TBFormat", 0, 1}, {"SecondFormat", 0, 1}, {"MinuteFormat", 0, 1},
           {"HourFormat", 0, 1}, {"DayFormat", 0, 1}, {"PlaylistInfo", 5, 0},
           {"PlaylistInfoZero", 4, 0}}) {
    // clang-format on
    ASSERT_TRUE(table->contains(k.key)) << k.key;
    std::string text = table->lookup(k.key);
    EXPECT_EQ(count(text, "%@"), k.objects) << k.key;
    EXPECT_EQ(count(text, "%.") + count(text, "%f"), k.reals) << k.key;
  }
}

}  // namespace
}  // namespace ui

namespace ui {
namespace {

using platform::ObjectValue;
using D = ObjectValue::Dictionary;
constexpr double kNone = -12345;  // "not set": the cell keeps the base cell's 0

struct SetupCase {
  const char* what;
  D psum;
  int32_t mode;
  double min, max, warning, critical, value;
  const char* caption;  // nullptr: none
};

// Each row on a fresh cell; `min` expects a derived minimum only after a
// bar of 200 points was laid out.
TEST(PlaylistSpaceUsageCell, DerivesModeBarAndCaptionFromThePsumDictionary) {
  const std::string info =
      "Mix: 12 tracks, 2.0 minutes, 1024 bytes still to copy (about 3 seconds)";
  const std::string zero = "Mix: 12 tracks, 2.0 minutes, nothing left to copy (about 3 seconds)";
  // clang-format off
  std::vector<SetupCase> cases = {
      {"no mode", {{"psumItemUncopiedSize", 5.0}}, 0xFFFF, 0, 0, 0, 0, 0, nullptr},
      {"mode 3", {{"psumMode", 3}, {"psumLIValue", 5.0}}, 0xFFFF, 0, 0, 0, 0, 0, nullptr},
      {"mode -1", {{"psumMode", -1}, {"psumLIValue", 5.0}}, 0xFFFF, 0, 0, 0, 0, 0, nullptr},
      {"mode 2 not exported", {{"psumMode", 2}, {"psumItemExported", false}, {"psumLIValue", 5.0}},
       0, 0, 0, 0, 0, 0, nullptr},
      {"mode 1 largest 0", {{"psumMode", 1}, {"psumLargestItemSize", 0.0}}, 1, 0, 1e7, 1, 2, 0,
       nullptr},
      {"mode 2 no largest", {{"psumMode", 2}, {"psumDiskAvailable", 9e9}}, 2, 0, 0, 0.1, 0.2, 0,
       nullptr},
      {"mode 2 exported absent",
       {{"psumMode", 2}, {"psumLargestItemSize", 5.0}, {"psumDiskAvailable", 1e6}},
       2, 0, 1e6, 0.1, 0.2, 0, nullptr},
      {"chain preferred",
       {{"psumMode", 1}, {"psumItemChainUncopiedSize", 1024.0}, {"psumItemUncopiedSize", 7.0},
        {"psumItemName", "Mix"}, {"psumItemTrackCount", 12}, {"psumItemDuration", 120.0}},
       1, 0, 0, 0, 0, 1024, info.c_str()},
      {"1023 bytes",
       {{"psumMode", 1}, {"psumItemUncopiedSize", 1023.0}, {"psumItemName", "Mix"},
        {"psumItemTrackCount", "12"}, {"psumItemDuration", 120.0}},
       1, 0, 0, 0, 0, 1023, zero.c_str()},
      {"unknowns", {{"psumMode", 1}, {"psumItemUncopiedSize", 0.0}}, 1, 0, 0, 0, 0, 0,
       "unknown: unknown tracks, unknown, nothing left to copy (about 3 seconds)"},
      {"given caption, no value", {{"psumMode", 1}, {"psumStrCaption", "Hi"}}, 1, 0, 0, 0, 0, 0,
       "Hi"},
      {"given value wins",
       {{"psumMode", 1}, {"psumLIValue", 3.0}, {"psumItemUncopiedSize", 9.0},
        {"psumStrCaption", "c"}},
       1, 0, 0, 0, 0, 3, "c"},
      {"explicit bar",
       {{"psumMode", 1}, {"psumLIMinValue", -1.0}, {"psumLIMaxValue", "50"},
        {"psumLIWarningValue", 10}, {"psumLICriticalValue", 20}},
       1, -1, 50, 10, 20, 0, nullptr},
  };
  // clang-format on
  for (const auto& c : cases) {
    PlaylistSpaceUsageCell cell;
    cell.setObjectValue(ObjectValue(c.psum));
    EXPECT_EQ(cell.usageMode(), c.mode) << c.what;
    EXPECT_DOUBLE_EQ(cell.minValue(), c.min) << c.what;
    EXPECT_DOUBLE_EQ(cell.maxValue(), c.max) << c.what;
    EXPECT_DOUBLE_EQ(cell.warningValue(), c.warning) << c.what;
    EXPECT_DOUBLE_EQ(cell.criticalValue(), c.critical) << c.what;
    EXPECT_DOUBLE_EQ(cell.doubleValue(), c.value) << c.what;
    EXPECT_EQ(cell.caption().value_or("<none>"), c.caption ? c.caption : "<none>") << c.what;
  }
}

TEST(PlaylistSpaceUsageCell, MinimumFollowsTheLastBarWidthAndRowsKeepWhatTheyLeaveOut) {
  PlaylistSpaceUsageCell cell;
  cell.setObjectValue(ObjectValue(D{{"psumMode", 2},
                                    {"psumLargestItemSize", 1.0},
                                    {"psumDiskAvailable", 1e6},
                                    {"psumStrCaption", "first"}}));
  EXPECT_DOUBLE_EQ(cell.minValue(), 0);
  EXPECT_EQ(cell.levelIndRectForBounds({10, 20, 200, 40}).y, 45);
  cell.setObjectValue(
      ObjectValue(D{{"psumMode", 2}, {"psumLargestItemSize", 1.0}, {"psumDiskAvailable", 1e6}}));
  EXPECT_DOUBLE_EQ(cell.minValue(), -10000);
  EXPECT_DOUBLE_EQ(cell.warningValue(), -9999.9);
  EXPECT_EQ(cell.caption(), "first");  // left over from the row before
  // A bar of no width derives no minimum (it would be infinite).
  cell.levelIndRectForBounds({0, 0, 0, 40});
  cell.setMinValue(7);
  cell.setObjectValue(
      ObjectValue(D{{"psumMode", 2}, {"psumLargestItemSize", 1.0}, {"psumDiskAvailable", 1e6}}));
  EXPECT_DOUBLE_EQ(cell.minValue(), 7);
}

TEST(PlaylistSpaceUsageCell, TwoArraysAreADictionaryAndOtherValuesGoToTheBar) {
  using A = ObjectValue::Array;
  PlaylistSpaceUsageCell cell;
  cell.setObjectValue(ObjectValue(A{A{1, "x"}, A{"psumMode", "psumStrCaption"}}));
  EXPECT_EQ(cell.usageMode(), 1);
  EXPECT_EQ(cell.caption(), "x");
  base::LogCapture log;
  PlaylistSpaceUsageCell odd;
  odd.setObjectValue(ObjectValue(A{A{1}, A{"psumMode", "psumStrCaption"}}));
  EXPECT_EQ(odd.usageMode(), 0);
  EXPECT_TRUE(odd.objectValue().isArray());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "exeception creating NSDictionary from ASS NSArrays  Exception: "
            "NSInvalidArgumentException Reason: *** "
            "-[NSDictionary initWithObjects:forKeys:]: count of objects (1) differs from count of "
            "keys (2)");
  odd.setObjectValue(ObjectValue(42.0));
  EXPECT_DOUBLE_EQ(odd.doubleValue(), 42);
}

TEST(PlaylistSpaceUsageCell, SizeIsTheBarAndLogsEveryQuery) {
  base::LogCapture log;
  PlaylistSpaceUsageCell cell;
  EXPECT_EQ(cell.cellSizeForBounds({0, 0, 100, 40}).width, 0);
  cell.setObjectValue(ObjectValue(D{{"psumMode", 1}}));
  auto size = cell.cellSizeForBounds({0, 0, 100, 8});
  EXPECT_EQ(size.width, 100);
  EXPECT_EQ(size.height, 8);
  EXPECT_EQ(log.lines(), std::vector<std::string>(2, "cellSizeForBounds:(NSRect)bounds"));
  auto copy = cell.copy();
  EXPECT_EQ(copy->className(), std::string("PlaylistSpaceUsageCell"));
  EXPECT_TRUE(static_cast<PlaylistSpaceUsageCell&>(*copy).libValid());
}

}  // namespace
}  // namespace ui
