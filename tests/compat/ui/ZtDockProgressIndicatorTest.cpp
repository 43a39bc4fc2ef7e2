#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "compat/runtime/RunLoop.h"
#include "compat/ui/ZtDockProgressIndicator.h"
#include "support/FakeDockTile.h"
#include "support/RecordingIndicator.h"
#include "support/ScopedConfiguration.h"
#include "support/TempDir.h"

namespace ui {
namespace {

using platform::FakeDockTile;
using platform::Image;
using platform::Pixel;

constexpr Pixel kWhite{255, 255, 255, 255};
constexpr int kBarRow = 12;  // a row through the middle of the fill

// Columns of the fill, from its left edge, wholly different from the
// empty (white) bar.
int filledColumns(const Image& tile) {
  int n = 0;
  for (int x = 5; x < 123 && tile.pixelAt(x, kBarRow) != kWhite; ++x) ++n;
  return n;
}

// The fill's columns must also end cleanly: everything after them is the
// white bar up to the outline.
bool restIsWhite(const Image& tile, int from) {
  for (int x = from; x < 123; ++x) {
    for (int y = 5; y < 19; ++y) {
      if (tile.pixelAt(x, y) != kWhite) return false;
    }
  }
  return true;
}

class DockProgressTest : public testing::Test {
 protected:
  Image tileFor(double min, double max, double value) {
    ZtDockProgressIndicator indicator(fake_);
    indicator.setMinValue(min);
    indicator.setMaxValue(max);
    indicator.setDoubleValue(value);
    auto last = fake_->last();
    EXPECT_TRUE(last && !last->standardIcon);
    return last ? last->image : Image();
  }
  std::shared_ptr<FakeDockTile> fake_ = std::make_shared<FakeDockTile>();
};

TEST_F(DockProgressTest, FillWidthFollowsTheValue) {
  struct Case {
    double min, max, value;
    int width;
  } cases[] = {
      {0, 1000, 0, 0},  {0, 1000, 500, 59},  {0, 1000, 1000, 118}, {200, 400, 300, 59},
      {-10, 10, 0, 59}, {0, 2e12, 1e12, 59}, {50, 50, 50, 0},      {0, 0, 0, 0},
      {0, 0, 7, 0},     {0, 100, 250, 118},  {0, 100, -30, 0},     {100, 0, 50, 59},
  };
  // An empty or full bar looks exactly like the bar at either end of its
  // range: nothing drawn beyond the bar's frame, nothing left of it.
  const std::string empty = tileFor(0, 1, 0).pngRepresentation();
  const std::string full = tileFor(0, 1, 1).pngRepresentation();
  for (const Case& c : cases) {
    Image tile = tileFor(c.min, c.max, c.value);
    SCOPED_TRACE(testing::Message() << c.min << ".." << c.max << " at " << c.value);
    ASSERT_EQ(tile.pixelsWide(), 128);
    ASSERT_EQ(tile.pixelsHigh(), 128);
    EXPECT_EQ(filledColumns(tile), c.width);
    EXPECT_TRUE(restIsWhite(tile, 5 + c.width));
    if (c.width == 0) {
      EXPECT_EQ(tile.pngRepresentation(), empty);
    }
    if (c.width == 118) {
      EXPECT_EQ(tile.pngRepresentation(), full);
    }
  }
}

TEST_F(DockProgressTest, TileLayout) {
  Image tile = tileFor(0, 2, 1);
  auto icon = Image::imageNamed("DockIcon");
  auto gradient = Image::imageNamed("MiniProgressGradient");
  ASSERT_TRUE(icon && gradient);
  // The artwork untouched above the bar, an outline around it, and the
  // fill the gradient artwork stretched across.
  EXPECT_EQ(tile.pixelAt(64, 100), icon->pixelAt(64, 100));
  for (int x : {4, 123}) EXPECT_LT(tile.pixelAt(x, kBarRow).red, 160) << x;
  for (int y = 5; y < 19; ++y) {
    EXPECT_NEAR(tile.pixelAt(30, y).red, gradient->pixelAt(0, y - 5).red, 2) << y;
  }
}

// Tiles drawn with a resources folder of our own making.
class DockProgressArtworkTest : public DockProgressTest {
 protected:
  testsupport::TempDir dir_;
  testsupport::ScopedConfiguration config_{[this](auto& c) { c.resources = dir_.path(); }};
};

TEST_F(DockProgressArtworkTest, WithoutGradientTheFillIsTheKnobColour) {
  Image knob(1, 1);
  knob.fillRect({0, 0, 1, 1}, platform::Color::knobColor());
  Image tile = tileFor(0, 4, 2);
  EXPECT_EQ(filledColumns(tile), 59);
  for (int y = 5; y < 19; ++y) {
    for (int x = 5; x < 64; ++x) ASSERT_EQ(tile.pixelAt(x, y), knob.pixelAt(0, 0)) << x << "," << y;
  }
  // No artwork either: the bar is drawn on a clear tile.
  EXPECT_EQ(tile.pixelAt(64, 100).alpha, 0);
}

TEST_F(DockProgressArtworkTest, GradientReplacesTheBarUnderIt) {
  // A half-transparent gradient is copied, not painted over the white.
  Image glass(4, 14);
  glass.fillRect({0, 0, 4, 14}, {0, 0, 1, 0.5});
  testsupport::writeFile(dir_ / "MiniProgressGradient.png", glass.pngRepresentation());
  Image tile = tileFor(0, 1, 1);
  EXPECT_NEAR(tile.pixelAt(60, kBarRow).alpha, 128, 2);
  EXPECT_EQ(tile.pixelAt(60, kBarRow).red, 0);
}

// Widths come in quarter points: a run of 20,000 tracks draws at most 473
// tiles, not one per track.
TEST(DockProgressWidth, ComesInQuarterPoints) {
  EXPECT_EQ(ZtDockProgressIndicator::fillWidth(0, 20000, 7), 0.0f);
  EXPECT_EQ(ZtDockProgressIndicator::fillWidth(0, 20000, 10001), 59.0f);
  EXPECT_EQ(ZtDockProgressIndicator::fillWidth(0, 472, 1), 0.25f);
}

TEST_F(DockProgressTest, ForwardsToTheWindowBar) {
  testsupport::RecordingIndicator bar;
  ZtDockProgressIndicator indicator(fake_);
  indicator.setProgress(&bar);
  indicator.setMinValue(1);
  indicator.setMaxValue(9);
  indicator.setDoubleValue(4);
  indicator.setNSNumberValue(5);
  indicator.display();
  indicator.setNeedsDisplay(true);
  indicator.setHidden(true);
  EXPECT_TRUE(indicator.isHidden());
  indicator.setHidden(false);
  EXPECT_FALSE(indicator.isHidden());
  EXPECT_EQ(bar.events(), (std::vector<std::string>{"min 1", "max 9", "value 4", "value 5",
                                                    "display 0", "needs 0", "hide 0", "show 0"}));
  // Display requests go to the window bar only; the dock gets four tiles
  // and one standard icon.
  EXPECT_EQ(fake_->count(), 5u);

  indicator.setProgress(nullptr);
  indicator.setDoubleValue(6);
  EXPECT_EQ(bar.doubleValue(), 5);
}

// Values sent from a background thread are drawn on the main thread, in
// the order sent, as a copy run hands them over.
TEST(DockProgressThreaded, ValuesQueuedFromAnotherThreadAreDrawnOnTheMainThread) {
  auto fake = std::make_shared<FakeDockTile>();
  auto indicator = std::make_shared<ZtDockProgressIndicator>(fake);
  auto& loop = platform::MainRunLoop::shared();
  indicator->setMaxValue(4);
  std::thread worker([&loop, indicator] {
    for (int i = 1; i <= 4; ++i) {
      loop.performAsync([indicator, i] { indicator->setNSNumberValue(i); });
    }
    loop.performAndWait([indicator] { indicator->setHidden(true); });
  });
  bool done = loop.runUntil([&] { return fake->count() == 6; }, std::chrono::seconds(10));
  worker.join();
  ASSERT_TRUE(done);
  auto changes = fake->changes();
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(filledColumns(changes[i].image), static_cast<int>(std::ceil(29.5 * i))) << i;
    EXPECT_TRUE(changes[i].onMainThread);
  }
  EXPECT_TRUE(changes[5].standardIcon);
}

}  // namespace
}  // namespace ui
