// A progress bar that records what it is told ("max 9", "hide 0", ...)
// and whether every call came on the main thread.
// Thread: any; the record is guarded by a mutex.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "compat/drawing/DockProgressFactory.h"
#include "compat/runtime/RunLoop.h"

namespace testsupport {

class RecordingIndicator : public platform::ProgressIndicator {
 public:
  double minValue() const override { return min_; }
  double maxValue() const override { return max_; }
  double doubleValue() const override { return value_; }
  void setMinValue(double v) override { note("min", v), min_ = v; }
  void setMaxValue(double v) override { note("max", v), max_ = v; }
  void setDoubleValue(double v) override { note("value", v), value_ = v; }
  bool isHidden() const override { return hidden_; }
  void setHidden(bool h) override { note(h ? "hide" : "show", 0), hidden_ = h; }
  void display() override { note("display", 0); }
  void setNeedsDisplay(bool needed) override { note(needed ? "needs" : "needs not", 0); }

  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  bool onMainThreadOnly() const { return mainOnly_; }

 private:
  void note(const char* what, double v) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!platform::MainRunLoop::shared().isMainThread()) mainOnly_ = false;
    events_.push_back(std::string(what) + " " + std::to_string(static_cast<long long>(v)));
  }
  double min_ = 0, max_ = 0, value_ = 0;
  bool hidden_ = false;
  bool mainOnly_ = true;
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

}  // namespace testsupport
