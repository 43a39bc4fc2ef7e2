// A text with the two attributes the table's cells use: a system font
// size in points and a foreground colour.
//
// Thread: a value type; no shared state.
#pragma once

#include <string>

#include "compat/drawing/Color.h"

namespace platform {

struct AttributedString {
  std::string text;
  double fontSize = 12.0;  // of the system font, in points
  Color foreground = Color::black();

  bool operator==(const AttributedString&) const = default;
};

}  // namespace platform
