#include <gtest/gtest.h>

#include "platform/Log.h"
#include "ui/ImageViewIconSetter.h"

namespace ui {
namespace {

using platform::Value;

TEST(SanitizeFileName, ReplacesReservedCharacters) {
  EXPECT_EQ(ImageViewIconSetter::sanitizeFileName("Live: Best/Of?"), "Live_ Best_Of_");
  EXPECT_EQ(ImageViewIconSetter::sanitizeFileName("50% #1 $hits; \u201Cbest\u201D"),
            "50_ _1 _hits_ _best_");
  EXPECT_EQ(ImageViewIconSetter::sanitizeFileName("a\\b*c\"d<e>f|g"), "a_b_c_d_e_f_g");
}

TEST(SanitizeFileName, CurlySingleQuotesBecomeApostrophes) {
  EXPECT_EQ(ImageViewIconSetter::sanitizeFileName("Don\u2019t Stop"), "Don't Stop");
  EXPECT_EQ(ImageViewIconSetter::sanitizeFileName("\u2018quoted\u2019"), "'quoted'");
}

TEST(SanitizeFileName, LeavesEverythingElse) {
  EXPECT_EQ(ImageViewIconSetter::sanitizeFileName(""), "");
  EXPECT_EQ(ImageViewIconSetter::sanitizeFileName("Caf\u00E9 & Bar!"), "Caf\u00E9 & Bar!");
  // Neighbours of the curly quotes in UTF-8 (U+2014 em dash, U+2026
  // ellipsis, U+201A low quote) and leading dots or blanks stay.
  std::string other = " ..a\u2014b\u2026c\u201Ad. ";
  EXPECT_EQ(ImageViewIconSetter::sanitizeFileName(other), other);
  // A truncated multi-byte sequence at the end is not read past its end.
  std::string cut = "x\xE2\x80";
  EXPECT_EQ(ImageViewIconSetter::sanitizeFileName(cut), cut);
}

TEST(FormatString, FillsObjectPlaceholders) {
  EXPECT_EQ(ImageViewIconSetter::formatString1_1("[%@]", Value("x")), "[x]");
  EXPECT_EQ(ImageViewIconSetter::formatString2_1("%@ of %@", Value(3), Value(10)), "3 of 10");
  EXPECT_EQ(ImageViewIconSetter::formatString3_1("%@-%@-%@", Value("a"), Value(2), Value("c")),
            "a-2-c");
  EXPECT_EQ(ImageViewIconSetter::formatString4_1("%@%@%@%@ %%", Value("a"), Value("b"), Value("c"),
                                                 Value("d")),
            "abcd %");
}

TEST(Nslog, WritesPercentSignsLiterally) {
  platform::LogCapture capture;
  ImageViewIconSetter::nslog(Value("100% done %d %@"));
  ImageViewIconSetter::nslog(Value(42));
  ImageViewIconSetter::nslog(Value());
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"100% done %d %@", "42", "(null)"}));
}

TEST(DisplayStandardIcon, NamesTheThemeIconOfAnExtensionOrTypeCode) {
  struct Case {
    const char* type;
    const char* icon;
    const char* fallback;
  };
  for (Case c : {Case{"mp3", "audio-mpeg", "audio-x-generic"},
                 Case{".flac", "audio-flac", "audio-x-generic"}, Case{"'fold'", "folder", "folder"},
                 Case{"'zzzz'", "unknown", "unknown"},
                 Case{"no-such-extension", "unknown", "unknown"}, Case{"", "unknown", "unknown"}}) {
    platform::ImageView view;
    ImageViewIconSetter::displayStandardIconInImageView(view, c.type);
    EXPECT_EQ(view.iconName(), c.icon) << c.type;
    EXPECT_EQ(view.fallbackIconName(), c.fallback) << c.type;
  }
}

}  // namespace
}  // namespace ui
