#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "compat/ui/SelectorText.h"
#include "support/ScopedConfiguration.h"

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
      : ScopedConfiguration([value](base::Configuration& c) {
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

// Mode 2 is all playlists, mode 1 the selected items (also with blanks,
// a sign, leading zeros or text after it); everything else, a number past
// the 32-bit range and no mode at all included, is unsupported.
TEST(SelectorText, PromptsFollowTheMode) {
  expectAllPrompts("2", kAll);
  for (const char* mode : {"1", " 1", "1abc", "+1", "\t001"}) expectAllPrompts(mode, kSelected);
  for (const char* mode : {"3", "0", "-1", "-2", "abc", "", " ", "x1", "4294967297", "2147483649",
                           "\xFF\x32", static_cast<const char*>(nullptr)}) {
    expectAllPrompts(mode, kUnsupported);
  }
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
