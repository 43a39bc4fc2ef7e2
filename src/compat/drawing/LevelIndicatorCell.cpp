#include "compat/drawing/LevelIndicatorCell.h"

#include <algorithm>
#include <cmath>

namespace platform {

Color LevelIndicatorCell::barColor() const {
  double v = doubleValue();
  if (warning_ <= critical_) {
    if (v >= critical_) return kCriticalColor;
    if (v >= warning_) return kWarningColor;
    return kNormalColor;
  }
  if (v <= critical_) return kCriticalColor;
  if (v <= warning_) return kWarningColor;
  return kNormalColor;
}

double LevelIndicatorCell::fillWidth(double width) const {
  double range = max_ - min_;
  double share = (doubleValue() - min_) / range;
  if (!(range > 0) || !std::isfinite(share)) return 0;
  return width * std::clamp(share, 0.0, 1.0);
}

void LevelIndicatorCell::drawInteriorWithFrame(const Rect& frame, ControlView& view) {
  if (!view.context || frame.width <= 0 || frame.height <= 0) return;
  GraphicsContext& g = *view.context;
  g.fillRect(frame, kTrackColor);
  Rect inner = frame.insetBy(1, 1);
  double w = fillWidth(inner.width);
  if (w > 0) g.fillRect({inner.x, inner.y, w, inner.height}, barColor());
  g.strokeRect(frame, kFrameColor);
}

}  // namespace platform
