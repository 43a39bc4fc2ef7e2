// A cell that draws its object value as one line of text at the 12-point
// system font, in its text colour, truncated at the tail when it is
// wider than the cell; white on a highlighted (selected) row.
//
// Thread: main thread only.
#pragma once

#include "compat/drawing/Cell.h"

namespace platform {

class TextFieldCell : public Cell {
 public:
  TextFieldCell() { setLineBreakMode(LineBreakMode::kTruncatingTail); }
  std::unique_ptr<Cell> copy() const override { return std::make_unique<TextFieldCell>(*this); }
  const char* className() const override { return "NSTextFieldCell"; }

  const Color& textColor() const { return textColor_; }
  void setTextColor(const Color& color) { textColor_ = color; }

  void drawInteriorWithFrame(const Rect& frame, ControlView& view) override;

 private:
  Color textColor_ = Color::controlTextColor();
};

}  // namespace platform
