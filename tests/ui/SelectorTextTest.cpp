#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/ScopedConfiguration.h"
#include "ui/SelectorText.h"

namespace ui {
namespace {

constexpr const char* kSelected =
    "This script will Export the items currently selected in iTunes to your Vextra Tessaline.";
constexpr const char* kAll =
    "This script will Export all your iTunes\u00AE playlists and the files they mention to your "
    "Vextra Tessaline.";
constexpr const char* kUnsupported = "Unsupported mode of operation";

// Sets or removes the script's mode for one test and restores it afterwards.
class ScopedMode : public testsupport::ScopedConfiguration {
 public:
  explicit ScopedMode(const char* value)
      : ScopedConfiguration([value](platform::Configuration& c) {
          c.scriptParam = value ? std::optional<std::string>(value) : std::nullopt;
        }) {}
};

void expectAllPrompts(const char* mode, const char* text) {
  ScopedMode scoped(mode);
  SelectorText selector;
  EXPECT_EQ(selector.confirmPrompt(), text) << (mode ? mode : "(unset)");
  EXPECT_EQ(selector.completionPrompt(), text) << (mode ? mode : "(unset)");
  EXPECT_EQ(selector.failurePrompt(), text) << (mode ? mode : "(unset)");
}

TEST(SelectorText, ModeTwoIsAllPlaylists) { expectAllPrompts("2", kAll); }

TEST(SelectorText, ModeOneIsSelectedItemsAlsoWithBlanksOrTrailingText) {
  expectAllPrompts("1", kSelected);
  expectAllPrompts(" 1", kSelected);
  expectAllPrompts("1abc", kSelected);
  expectAllPrompts("+1", kSelected);
  expectAllPrompts("\t001", kSelected);
}

TEST(SelectorText, EverythingElseIsUnsupported) {
  for (const char* mode :
       {"3", "0", "-1", "-2", "abc", "", " ", "x1", "4294967297", "2147483649", "\xFF\x32"}) {
    expectAllPrompts(mode, kUnsupported);
  }
  expectAllPrompts(nullptr, kUnsupported);
}

TEST(SelectorText, IntValueClampsAndStopsAtTheFirstOtherCharacter) {
  EXPECT_EQ(SelectorText::intValue("  -12x3"), -12);
  EXPECT_EQ(SelectorText::intValue("99999999999999999999"), 2147483647);
  EXPECT_EQ(SelectorText::intValue("-99999999999999999999"), -2147483647 - 1);
  EXPECT_EQ(SelectorText::intValue("-"), 0);
  EXPECT_EQ(SelectorText::intValue("\xC3"), std::nullopt);
}

}  // namespace
}  // namespace ui
