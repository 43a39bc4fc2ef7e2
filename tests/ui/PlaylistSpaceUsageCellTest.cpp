#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "platform/Format.h"
#include "platform/LocalizedStrings.h"
#include "ui/PlaylistSpaceUsageCell.h"

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
  EXPECT_EQ(Cell::bytesString(2048), platform::format(platform::localizedString("KBFormat"), 2.0));
  EXPECT_EQ(Cell::bytesString(2048), "2.0 KB");
  EXPECT_EQ(Cell::bytesString(1536.0 * 1048576), "1536.0 MB");
  EXPECT_EQ(Cell::bytesString(512), "512 bytes");
  EXPECT_EQ(Cell().secondsString(7200), "2.0 hours");
}

// Every key the drive popup, the size texts and the space usage caption
// look up has an English text, and each format takes the arguments its
// callers pass.
TEST(LocalizableStrings, EveryKeyUsedHasATextWithItsArguments) {
  std::ifstream in(TESSALINE_SOURCE_DIR "/resources/Localizable.strings", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  std::string error;
  auto table = platform::LocalizedStrings::parse(s.str(), &error);
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
  for (Key k : std::initializer_list<Key>{{"NoTessalineFound", 0, 0},
                                          {"TessalineDiskOKFormat", 4, 0},
                                          {"TessalineDiskBadFormat", 2, 0},
                                          {"TessalineDiskCantWriteNTFS", 1, 0},
                                          {"TessalineDiskCantWrite", 2, 0},
                                          {"NTFSFileSystem", 0, 0},
                                          {"unknown FS", 0, 0},
                                          {"sbFormat", 0, 1},
                                          {"KBFormat", 0, 1},
                                          {"MBFormat", 0, 1},
                                          {"GBFormat", 0, 1},
                                          {"TBFormat", 0, 1},
                                          {"SecondFormat", 0, 1},
                                          {"MinuteFormat", 0, 1},
                                          {"HourFormat", 0, 1},
                                          {"DayFormat", 0, 1},
                                          {"PlaylistInfo", 5, 0},
                                          {"PlaylistInfoZero", 4, 0}}) {
    ASSERT_TRUE(table->contains(k.key)) << k.key;
    std::string text = table->lookup(k.key);
    EXPECT_EQ(count(text, "%@"), k.objects) << k.key;
    EXPECT_EQ(count(text, "%.") + count(text, "%f"), k.reals) << k.key;
  }
}

}  // namespace
}  // namespace ui
