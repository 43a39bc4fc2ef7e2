// A window progress bar as the dock progress indicator drives it: the
// double values are mapped onto the bar's integer range of 0...10000,
// and mirrored onto the taskbar's launcher entry while the bar shows.
//
// Ownership: does not own the bar, which must outlive it.
// Thread: main thread only.
#pragma once

#include "compat/drawing/ProgressIndicator.h"
#include "gui/LauncherEntry.h"

class QProgressBar;

namespace app {

class QtProgressBar : public platform::ProgressIndicator {
 public:
  static constexpr int kSteps = 10000;
  explicit QtProgressBar(QProgressBar& bar);

  double minValue() const override { return min_; }
  double maxValue() const override { return max_; }
  double doubleValue() const override { return value_; }
  void setMinValue(double value) override;
  void setMaxValue(double value) override;
  void setDoubleValue(double value) override;
  bool isHidden() const override;
  void setHidden(bool hidden) override;
  void display() override;
  void setNeedsDisplay(bool needed) override;

 private:
  void show();
  QProgressBar& bar_;
  LauncherEntry launcher_;
  double min_ = 0, max_ = 0, value_ = 0;
};

}  // namespace app
