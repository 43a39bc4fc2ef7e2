#include "compat/ui/SelectorText.h"

#include <climits>
#include <cstdint>
#include <cstdlib>

#include "base/Configuration.h"
#include "base/Unicode.h"

namespace ui {
namespace {

constexpr const char* kSelectedItemsText =
    "This script will Export the items currently selected in iTunes to your Vextra Tessaline.";
constexpr const char* kAllPlaylistsText =
    "This script will Export all your iTunes\u00AE playlists and the files they mention to your "
    "Vextra Tessaline.";

bool isSkippedSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::optional<int> SelectorText::intValue(std::string_view text) {
  if (!base::unicode::isValidUtf8(text)) return std::nullopt;
  size_t i = 0;
  while (i < text.size() && isSkippedSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    // Past the 32-bit range the value only needs to stay clamped.
    if (value <= int64_t{INT_MAX} + 1) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::string SelectorText::promptForMode() const {
  std::optional<std::string> raw = mode_;
  if (!given_) {
    raw = base::configuration()->scriptParam;
  }
  if (!raw) return kUnsupportedMode;
  std::optional<int> mode = intValue(*raw);
  if (!mode) return kUnsupportedMode;
  switch (*mode) {
    case 1:
      return kSelectedItemsText;
    case 2:
      return kAllPlaylistsText;
    default:
      return kUnsupportedMode;
  }
}

std::string SelectorText::confirmPrompt() const { return promptForMode(); }
std::string SelectorText::completionPrompt() const { return promptForMode(); }
std::string SelectorText::failurePrompt() const { return promptForMode(); }

}  // namespace ui
