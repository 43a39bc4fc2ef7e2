// The dock tile of the window: the drawn tile becomes the window's icon
// (what the taskbar shows), the standard icon puts the application's
// artwork back.
//
// Ownership: does not own the window, which must outlive the tile.
// Thread: main thread only.
#pragma once

#include "compat/drawing/DockTile.h"

class QWidget;

namespace app {

class QtDockTile : public platform::DockTile {
 public:
  explicit QtDockTile(QWidget& window) : window_(window) {}
  void showImage(const platform::Image& image) override;
  void restoreStandardIcon() override;

 private:
  QWidget& window_;
};

}  // namespace app
