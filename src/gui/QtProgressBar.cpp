#include "gui/QtProgressBar.h"

#include <QProgressBar>
#include <algorithm>
#include <cmath>

namespace app {

QtProgressBar::QtProgressBar(QProgressBar& bar) : bar_(bar) { bar_.setRange(0, kSteps); }

void QtProgressBar::show() {
  double share = (value_ - min_) / (max_ - min_);
  if (!(max_ > min_) || !std::isfinite(share)) share = 0;
  share = std::clamp(share, 0.0, 1.0);
  bar_.setValue(static_cast<int>(share * kSteps));
  if (!bar_.isHidden()) launcher_.setProgress(share);
}

void QtProgressBar::setMinValue(double value) {
  min_ = value;
  show();
}
void QtProgressBar::setMaxValue(double value) {
  max_ = value;
  show();
}
void QtProgressBar::setDoubleValue(double value) {
  value_ = value;
  show();
}
bool QtProgressBar::isHidden() const { return bar_.isHidden(); }
void QtProgressBar::setHidden(bool hidden) {
  bar_.setHidden(hidden);
  if (hidden) launcher_.setProgress(std::nullopt);
}
void QtProgressBar::display() { bar_.repaint(); }
void QtProgressBar::setNeedsDisplay(bool needed) {
  if (needed) bar_.update();
}

}  // namespace app
