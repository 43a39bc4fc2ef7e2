#include "compat/drawing/HeadlessDockTile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "base/Log.h"
#include "base/WholeFile.h"

namespace platform {

HeadlessDockTile::HeadlessDockTile(std::string outputPath) : outputPath_(std::move(outputPath)) {}

void HeadlessDockTile::showImage(const Image& image) {
  std::lock_guard<std::mutex> lock(mutex_);
  image_ = image;
  writeLocked(image);
}

void HeadlessDockTile::restoreStandardIcon() {
  std::lock_guard<std::mutex> lock(mutex_);
  image_.reset();
  if (outputPath_.empty()) return;
  std::optional<Image> icon = Image::imageNamed(Image::kApplicationIconName);
  writeLocked(icon ? *icon : Image(128, 128));
}

std::optional<Image> HeadlessDockTile::currentImage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return image_;
}

bool HeadlessDockTile::showsStandardIcon() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !image_.has_value();
}

void HeadlessDockTile::writeLocked(const Image& image) {
  if (outputPath_.empty()) return;
  std::string reason;
  std::string png = image.pngRepresentation();
  if (png.empty()) {
    reason = "the image could not be encoded";
  } else if (base::Status written = base::replaceWholeFile(outputPath_, png); !written.ok()) {
    reason = std::strerror(written.code() != 0 ? written.code() : EIO);
  }
  if (reason.empty()) {
    writeFailed_ = false;
  } else if (!writeFailed_) {
    writeFailed_ = true;
    base::logFormat("dock tile not written to %@: %@", outputPath_, reason);
  }
}

}  // namespace platform
