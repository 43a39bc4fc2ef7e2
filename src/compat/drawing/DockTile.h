// The application's dock tile: what the desktop shows for the running
// application. It shows either the standard application icon or an
// image the application draws (the copy progress bar does this).
//
// Implementations:
//   - HeadlessDockTile (compat/drawing/HeadlessDockTile.h): for the command
//     line; keeps the current tile and can write it to a PNG file;
//   - FakeDockTile (tests/support/FakeDockTile.h): for tests; records every
//     change.
// A window backend takes the place of the headless one when there is a
// desktop to show it on.
//
// Thread: showImage and restoreStandardIcon are main-thread operations,
// like all interface drawing; shared/setShared may be called from any
// thread.
// Ownership: the shared tile is reference counted; a caller that got it
// keeps it alive even after another is installed.
#pragma once

#include <memory>

#include "compat/drawing/Image.h"

namespace platform {

class DockTile {
 public:
  virtual ~DockTile() = default;

  // Shows `image` in place of the standard application icon.
  virtual void showImage(const Image& image) = 0;
  // Shows the standard application icon again.
  virtual void restoreStandardIcon() = 0;

  // The application's tile; a HeadlessDockTile that writes no file until
  // something else is installed.
  static std::shared_ptr<DockTile> shared();
  // Installs the application's tile; none puts back a fresh default one.
  static void setShared(std::shared_ptr<DockTile> tile);
};

}  // namespace platform
