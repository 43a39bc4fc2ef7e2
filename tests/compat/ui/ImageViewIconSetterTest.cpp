#include <gtest/gtest.h>

#include "base/Log.h"
#include "compat/ui/ImageViewIconSetter.h"

namespace ui {
namespace {

using base::Value;

// Reserved characters become underscores, curly single quotes
// apostrophes; everything else stays, including the neighbours of the
// curly quotes in UTF-8 (U+2014, U+2026, U+201A), leading dots or blanks
// and a truncated multi-byte sequence at the end (not read past its end).
TEST(SanitizeFileName, ReplacesOnlyReservedCharactersAndCurlyQuotes) {
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"Live: Best/Of?", "Live_ Best_Of_"},
      {"50% #1 $hits; \u201Cbest\u201D", "50_ _1 _hits_ _best_"},
      {"a\\b*c\"d<e>f|g", "a_b_c_d_e_f_g"},
      {"Don\u2019t Stop", "Don't Stop"}, {"\u2018quoted\u2019", "'quoted'"},
      {"", ""}, {"Caf\u00E9 & Bar!", "Caf\u00E9 & Bar!"},
      {" ..a\u2014b\u2026c\u201Ad. ", " ..a\u2014b\u2026c\u201Ad. "}, {"x\xE2\x80", "x\xE2\x80"},
  };
  // clang-format on
  for (const auto& [name, want] : cases) {
    EXPECT_EQ(ImageViewIconSetter::sanitizeFileName(name), want) << name;
  }
}

TEST(Nslog, WritesPercentSignsLiterally) {
  base::LogCapture capture;
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
