#include "compat/ui/ZtDockProgressIndicator.h"

#include <algorithm>
#include <cmath>

#include "compat/drawing/DockProgressFactory.h"

namespace ui {

using platform::Color;
using platform::CompositingOperation;
using platform::Image;
using platform::Rect;

ZtDockProgressIndicator::ZtDockProgressIndicator() = default;

ZtDockProgressIndicator::ZtDockProgressIndicator(std::shared_ptr<platform::DockTile> tile)
    : tile_(std::move(tile)) {}

platform::DockTile& ZtDockProgressIndicator::tile() {
  if (!tile_) return *platform::DockTile::shared();
  return *tile_;
}

void ZtDockProgressIndicator::setMinValue(double value) {
  min_ = value;
  if (progress_) progress_->setMinValue(value);
  updateDockTile();
}

void ZtDockProgressIndicator::setMaxValue(double value) {
  max_ = value;
  if (progress_) progress_->setMaxValue(value);
  updateDockTile();
}

void ZtDockProgressIndicator::setDoubleValue(double value) {
  current_ = value;
  if (progress_) progress_->setDoubleValue(value);
  updateDockTile();
}

void ZtDockProgressIndicator::setNSNumberValue(double number) { setDoubleValue(number); }

bool ZtDockProgressIndicator::isHidden() const { return progress_ && progress_->isHidden(); }

void ZtDockProgressIndicator::setHidden(bool hidden) {
  if (progress_) progress_->setHidden(hidden);
  if (hidden) tile().restoreStandardIcon();
}

void ZtDockProgressIndicator::display() {
  if (progress_) progress_->display();
}

void ZtDockProgressIndicator::setNeedsDisplay(bool needed) {
  if (progress_) progress_->setNeedsDisplay(needed);
}

void ZtDockProgressIndicator::installAsDockProgressFactory() {
  platform::setDockProgressIndicatorFactory(
      [] { return std::make_shared<ZtDockProgressIndicator>(); });
}

float ZtDockProgressIndicator::fillWidth(double min, double max, double current) {
  // Computed in double, kept in single precision, as the tile's geometry
  // is. Equal bounds give a width that is not a number; that, and any
  // value not a number, draws an empty bar rather than garbage.
  if (max == min) return 0.0f;
  auto width = static_cast<float>(kFillFrame.width / (max - min) * (current - min));
  if (!(width > 0.0f)) return 0.0f;  // negative or NaN
  // In quarter points, finer than the eye tells apart on the bar: a run of
  // many small tracks, whose value changes with each one, then draws a few
  // hundred tiles instead of one per track.
  return std::min(std::round(width * 4.0f) / 4.0f, static_cast<float>(kFillFrame.width));
}

Image ZtDockProgressIndicator::tileImage(double min, double max, double current) {
  Image tile(kTileSide, kTileSide);
  if (auto artwork = Image::imageNamed("DockIcon")) {
    tile.drawAtPoint(*artwork, {0, 0}, CompositingOperation::kSourceOver, 1.0);
  }

  tile.fillRect(kBarFrame, Color::white());
  tile.strokeRect(kBarFrame, Color::black(), 1.0);

  Rect fill = kBarFrame.insetBy(1, 1);
  Color knob = Color::knobColor();
  fill.width = fillWidth(min, max, current);
  if (auto gradient = Image::imageNamed("MiniProgressGradient")) {
    platform::Size size = gradient->size();
    tile.drawInRect(*gradient, fill, {0, 0, size.width, size.height}, CompositingOperation::kCopy,
                    1.0);
  } else {
    tile.fillRect(fill, knob);
  }
  return tile;
}

void ZtDockProgressIndicator::updateDockTile() {
  // A tile is fully given by its fill's width, which takes at most 473
  // values over a run while the value changes once per track: the tile
  // drawn last is shown again rather than drawn anew.
  float width = fillWidth(min_, max_, current_);
  if (!drawn_ || drawnWidth_ != width) {
    drawn_ = tileImage(min_, max_, current_);
    drawnWidth_ = width;
  }
  tile().showImage(*drawn_);
}

}  // namespace ui
