#include "support/FakeDockTile.h"

#include "compat/runtime/RunLoop.h"

namespace platform {

void FakeDockTile::showImage(const Image& image) {
  bool main = MainRunLoop::shared().isMainThread();
  std::lock_guard<std::mutex> lock(mutex_);
  changes_.push_back({false, image, main});
}

void FakeDockTile::restoreStandardIcon() {
  bool main = MainRunLoop::shared().isMainThread();
  std::lock_guard<std::mutex> lock(mutex_);
  changes_.push_back({true, Image(), main});
}

std::vector<FakeDockTile::Change> FakeDockTile::changes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return changes_;
}

size_t FakeDockTile::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return changes_.size();
}

std::optional<FakeDockTile::Change> FakeDockTile::last() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (changes_.empty()) return std::nullopt;
  return changes_.back();
}

void FakeDockTile::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  changes_.clear();
}

}  // namespace platform
