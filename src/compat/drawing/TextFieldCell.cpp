#include "compat/drawing/TextFieldCell.h"

namespace platform {

void TextFieldCell::drawInteriorWithFrame(const Rect& frame, ControlView& view) {
  if (!view.context) return;
  // A disabled colour stays grey on the selection; every other one turns white.
  Color color = isHighlighted() && textColor_ != Color::disabledControlTextColor() ? Color::white()
                                                                                   : textColor_;
  AttributedString text{stringValue(), 12.0, color};
  // Centred vertically on the row, two points in from the left.
  double top = frame.y + std::max(0.0, (frame.height - 15.0) / 2);
  view.context->drawText(text, {frame.x + 2, top, frame.width - 4, frame.maxY() - top},
                         lineBreakMode() == LineBreakMode::kTruncatingTail);
}

}  // namespace platform
