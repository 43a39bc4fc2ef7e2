#include "compat/drawing/ButtonCell.h"

#include <cmath>

namespace platform {

Rect ButtonCell::boxRectForBounds(const Rect& frame) {
  return {std::floor(frame.x + (frame.width - kBoxSide) / 2),
          std::floor(frame.y + (frame.height - kBoxSide) / 2), kBoxSide, kBoxSide};
}

void ButtonCell::drawInteriorWithFrame(const Rect& frame, ControlView& view) {
  if (!view.context) return;
  GraphicsContext& g = *view.context;
  Rect box = boxRectForBounds(frame);
  g.fillRect(box, Color::white());
  g.strokeRect(box, Color{0.45, 0.45, 0.45, 1});
  if (state()) {
    Color tick = Color{0.1, 0.1, 0.1, 1};
    g.strokeLine({box.x + 2.5, box.y + 6}, {box.x + 5, box.y + 9}, tick, 2);
    g.strokeLine({box.x + 5, box.y + 9}, {box.x + 9.5, box.y + 3}, tick, 2);
  }
}

}  // namespace platform
