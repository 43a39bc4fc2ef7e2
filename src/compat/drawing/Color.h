// Colours for drawing: red, green, blue and alpha in 0...1, not
// premultiplied, in the sRGB space.
//
// Thread: value type; no shared state.
#pragma once

namespace platform {

struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  static constexpr Color white() { return {1, 1, 1, 1}; }
  static constexpr Color black() { return {0, 0, 0, 1}; }
  // The colour of a control's knob (slider thumb, progress fill): a
  // medium blue, used where no artwork for the fill is available.
  static constexpr Color knobColor() { return {0.29, 0.56, 0.89, 1}; }

  // Text of an enabled control, and of a disabled one (a mid grey that
  // stays readable on white and on the selection colour).
  static constexpr Color controlTextColor() { return black(); }
  static constexpr Color disabledControlTextColor() { return {0.55, 0.55, 0.55, 1}; }

  bool operator==(const Color&) const = default;
};

}  // namespace platform
