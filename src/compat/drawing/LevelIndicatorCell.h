// A level indicator in the continuous-capacity style: a bar filled in
// proportion to (value - minimum) / (maximum - minimum), clamped to the
// bar (an empty range or a value that is not a number fills nothing).
// Its colour follows the thresholds: with warning below critical, the
// bar is critical (red) from the critical value up and warning (amber)
// from the warning value up; with critical below warning the scale runs
// the other way (red at or below critical). Otherwise it is normal
// (green). Mini and small sizes draw the same bar in the rectangle given.
//
// Thread: main thread only.
#pragma once

#include "compat/drawing/Cell.h"

namespace platform {

class LevelIndicatorCell : public Cell {
 public:
  static constexpr Color kNormalColor{0.25, 0.70, 0.25, 1};
  static constexpr Color kWarningColor{0.95, 0.70, 0.10, 1};
  static constexpr Color kCriticalColor{0.85, 0.15, 0.15, 1};
  static constexpr Color kTrackColor{0.88, 0.88, 0.88, 1};
  static constexpr Color kFrameColor{0.55, 0.55, 0.55, 1};

  std::unique_ptr<Cell> copy() const override {
    return std::make_unique<LevelIndicatorCell>(*this);
  }
  const char* className() const override { return "NSLevelIndicatorCell"; }

  double minValue() const { return min_; }
  double maxValue() const { return max_; }
  double warningValue() const { return warning_; }
  double criticalValue() const { return critical_; }
  void setMinValue(double v) { min_ = v; }
  void setMaxValue(double v) { max_ = v; }
  void setWarningValue(double v) { warning_ = v; }
  void setCriticalValue(double v) { critical_ = v; }

  // The colour the bar takes for the current value and thresholds.
  Color barColor() const;
  // The filled width within a bar `width` points wide.
  double fillWidth(double width) const;

  // The bar has no frame of its own to draw apart from its interior; the
  // frame drawing stays this class's own even where a subclass draws its
  // interior differently.
  void drawWithFrame(const Rect& frame, ControlView& view) override {
    LevelIndicatorCell::drawInteriorWithFrame(frame, view);
  }
  void drawInteriorWithFrame(const Rect& frame, ControlView& view) override;

 private:
  double min_ = 0;
  double max_ = 0;
  double warning_ = 0;
  double critical_ = 0;
};

}  // namespace platform
