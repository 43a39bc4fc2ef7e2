// The dock tile when there is no desktop: it keeps the tile that would be
// shown, and, when given an output path, writes it there as a PNG file
// each time it changes (so a person can watch a run's progress in an
// image viewer, or a script can check it).
//
// The standard application icon is written as the image named
// Image::kApplicationIconName, or as a transparent 128 x 128 image when
// the resources hold none.
//
// Thread: main thread (see DockTile.h); the accessors are safe from any
// thread.
// Errors: the file is replaced atomically (a temporary beside it, then a
// rename), so a reader never sees half a file. A failed write is logged
// ("dock tile not written to <path>: <reason>") once until a write
// succeeds again, and never stops the caller.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "compat/drawing/DockTile.h"
#include "compat/drawing/Image.h"

namespace platform {

class HeadlessDockTile : public DockTile {
 public:
  // An empty path writes no file.
  explicit HeadlessDockTile(std::string outputPath = {});

  void showImage(const Image& image) override;
  void restoreStandardIcon() override;

  // The image shown; none while the standard icon is shown.
  std::optional<Image> currentImage() const;
  bool showsStandardIcon() const;
  const std::string& outputPath() const { return outputPath_; }

 private:
  void writeLocked(const Image& image);

  const std::string outputPath_;
  mutable std::mutex mutex_;
  std::optional<Image> image_;
  bool writeFailed_ = false;
};

}  // namespace platform
