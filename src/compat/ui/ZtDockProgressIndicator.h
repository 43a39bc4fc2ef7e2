// The progress bar in the dock tile: the application's artwork with a
// small horizontal bar over its lower edge, redrawn whenever the
// minimum, maximum or value changes. It can mirror its values and hidden
// state into a window's progress bar (`progress`, not owned; none when
// the indicator is made in code, as a copy run does).
//
// Every setter redraws at once: setting minimum, maximum and value in a
// row installs three tiles. Hiding puts the standard application icon
// back; showing draws nothing until the next value change.
//
// The fill is 118 / (max - min) * (value - min) points wide, with two
// choices of our own where that formula says nothing sound: with max
// equal to min (or any value not a number) the bar is empty, and a value
// outside the range is clamped to an empty or a full bar.
//
// Thread: main thread only. Other threads hand values over through the
// main run loop (setNSNumberValue performed there).
// Ownership: the indicator keeps the dock tile it was given (or looks up
// the shared one at each draw); it does not own the window bar, which
// must outlive it or be disconnected with setProgress(nullptr).
#pragma once

#include <memory>
#include <optional>

#include "compat/drawing/DockTile.h"
#include "compat/drawing/Image.h"
#include "compat/drawing/ProgressIndicator.h"

namespace ui {

class ZtDockProgressIndicator : public platform::ProgressIndicator {
 public:
  // The tile's layout, in points from the lower left.
  static constexpr double kTileSide = 128;
  static constexpr platform::Rect kBarFrame{4, 4, 120, 16};
  static constexpr platform::Rect kFillFrame{5, 5, 118, 14};

  // Draws into platform::DockTile::shared() as it is at each draw.
  ZtDockProgressIndicator();
  // Draws into `tile`.
  explicit ZtDockProgressIndicator(std::shared_ptr<platform::DockTile> tile);
  ZtDockProgressIndicator(const ZtDockProgressIndicator&) = delete;
  ZtDockProgressIndicator& operator=(const ZtDockProgressIndicator&) = delete;

  platform::ProgressIndicator* progress() const { return progress_; }
  void setProgress(platform::ProgressIndicator* progress) { progress_ = progress; }

  double minValue() const override { return min_; }
  double maxValue() const override { return max_; }
  double doubleValue() const override { return current_; }
  void setMinValue(double value) override;
  void setMaxValue(double value) override;
  void setDoubleValue(double value) override;
  // The form a value from another thread arrives in.
  void setNSNumberValue(double number);

  // The window bar's hidden state; false without a window bar.
  bool isHidden() const override;
  void setHidden(bool hidden) override;
  void display() override;
  void setNeedsDisplay(bool needed) override;

  // Draws a tile from the current values and shows it.
  void updateDockTile();

  // Makes this the dock progress bar that code below the interface layer
  // (the copy runs) creates through platform::makeDockProgressIndicator;
  // each one draws into the shared dock tile.
  static void installAsDockProgressFactory();

  // The fill's width in points for these values (0...118, in quarters).
  static float fillWidth(double min, double max, double current);
  // The tile as updateDockTile draws it for these values.
  static platform::Image tileImage(double min, double max, double current);

 private:
  platform::DockTile& tile();

  platform::ProgressIndicator* progress_ = nullptr;
  double max_ = 0;
  double min_ = 0;
  double current_ = 0;
  std::shared_ptr<platform::DockTile> tile_;
  std::optional<platform::Image> drawn_;  // the tile shown last, for a fill this wide
  float drawnWidth_ = 0;
};

}  // namespace ui
