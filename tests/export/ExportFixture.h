// A recording stand-in for the dock bar, installed as the factory the
// runs use, and the folders of a destination test.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "../catalogue/DestinationFixture.h"
#include "platform/DockProgressFactory.h"
#include "platform/RunLoop.h"

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
  void display() override {}
  void setNeedsDisplay(bool) override {}

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

class ExportTest : public DestinationTest {
 protected:
  void SetUp() override {
    DestinationTest::SetUp();
    platform::setDockProgressIndicatorFactory([this] {
      auto indicator = std::make_shared<RecordingIndicator>();
      indicators_.push_back(indicator);
      return indicator;
    });
  }
  void TearDown() override {
    platform::setDockProgressIndicatorFactory(nullptr);
    platform::FileManager::setFactoryForTesting(nullptr);
    DestinationTest::TearDown();
  }
  std::vector<std::shared_ptr<RecordingIndicator>> indicators_;
};

}  // namespace testsupport
