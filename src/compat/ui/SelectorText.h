// The prompt texts of the running mode. The mode is the integer value of
// the environment variable "ExtScriptParam", read afresh on every call (or
// of the text a caller that knows its mode hands over instead): 1 exports
// the items selected in iTunes, 2 all playlists; anything else, or no
// variable at all, gives "Unsupported mode of operation".
//
// Thread: stateless; callable from any thread as long as nobody changes
// the environment at the same time (the script calls it on the main thread).
// Errors: never fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ui {

class SelectorText {
 public:
  SelectorText() = default;
  // The mode as the text "ExtScriptParam" would hold, not read from the
  // environment (none: no mode).
  explicit SelectorText(std::optional<std::string> mode) : mode_(std::move(mode)), given_(true) {}

  std::string confirmPrompt() const;
  std::string completionPrompt() const;
  std::string failurePrompt() const;

  // The integer value of a text the platform's way: leading white space
  // skipped, an optional sign, decimal digits up to the first other
  // character; no digits gives 0; out of range clamps to the 32-bit limits.
  // None when the text is not valid UTF-8.
  static std::optional<int> intValue(std::string_view text);

  static constexpr const char* kUnsupportedMode = "Unsupported mode of operation";

 private:
  std::string promptForMode() const;

  std::optional<std::string> mode_;
  bool given_ = false;
};

}  // namespace ui
