#include "platform/DockTile.h"

#include <mutex>

#include "platform/HeadlessDockTile.h"

namespace platform {

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<DockTile>& sharedTile() {
  static std::shared_ptr<DockTile> tile;
  return tile;
}

}  // namespace

std::shared_ptr<DockTile> DockTile::shared() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  auto& tile = sharedTile();
  if (!tile) tile = std::make_shared<HeadlessDockTile>();
  return tile;
}

void DockTile::setShared(std::shared_ptr<DockTile> tile) {
  std::lock_guard<std::mutex> lock(sharedMutex());
  sharedTile() = std::move(tile);
}

}  // namespace platform
