// The recording dock bar installed as the factory the runs use, and the
// folders of a destination test.
#pragma once

#include <memory>
#include <vector>

#include "../catalogue/DestinationFixture.h"
#include "compat/drawing/DockProgressFactory.h"
#include "support/RecordingIndicator.h"

namespace testsupport {

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
    fs::FileManager::setFactoryForTesting(nullptr);
    DestinationTest::TearDown();
  }
  std::vector<std::shared_ptr<RecordingIndicator>> indicators_;
};

}  // namespace testsupport
