// A dock tile for tests: records every change, in order, with the image
// shown and whether the change was made on the main run loop's thread.
//
// Thread: safe from any thread (so a test can also catch a change made
// from the wrong thread instead of racing on it).
#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "compat/drawing/DockTile.h"
#include "compat/drawing/Image.h"

namespace platform {

class FakeDockTile : public DockTile {
 public:
  struct Change {
    bool standardIcon = false;  // restoreStandardIcon; else showImage
    Image image;                // the image shown (empty for the standard icon)
    bool onMainThread = false;
  };

  void showImage(const Image& image) override;
  void restoreStandardIcon() override;

  std::vector<Change> changes() const;
  size_t count() const;
  std::optional<Change> last() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Change> changes_;
};

}  // namespace platform
