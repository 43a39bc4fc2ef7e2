// The copy's progress wherever the window shows it: its progress bar, the
// window's icon (the application's artwork with a bar over its lower edge,
// what the taskbar shows) and the launcher entry; hiding puts the artwork back.
// Thread: main thread only. Ownership: neither the window nor the bar,
// which must outlive it. Errors: missing artwork draws the bar alone.
#pragma once

#include <QImage>
#include <QRectF>
#include <optional>

#include "gui/LauncherEntry.h"

class QProgressBar;
class QWidget;

namespace app {

class ProgressTile {
 public:
  static constexpr int kSteps = 10000;  // the window bar's range
  static constexpr int kTileSide = 128;
  // In the tile's pixels from its top left: the bar's frame and its fill.
  static constexpr QRectF kBarFrame{4, 108, 120, 16};
  static constexpr QRectF kFillFrame{5, 109, 118, 14};

  ProgressTile(QWidget& window, QProgressBar& bar);

  // `done` of `total` (any units); a total of 0 or less shows an empty bar.
  void show(double done, double total);
  void hide();
  bool shown() const { return shown_; }
  // The share shown last (0...1).
  double share() const { return share_; }

  // The fill's width for a share, in quarter pixels: a run of many small
  // tracks then draws a few hundred icons rather than one per track.
  static double fillWidth(double share);
  static QImage tileImage(double share);
  // The application's artwork, as the window shows it while no copy runs.
  static QImage standardIcon();

 private:
  QWidget& window_;
  QProgressBar& bar_;
  LauncherEntry launcher_;
  bool shown_ = false;
  double share_ = 0;
  std::optional<double> drawnWidth_;  // of the icon set last; none: the standard icon
};

}  // namespace app
