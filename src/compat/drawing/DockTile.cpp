#include "compat/drawing/DockTile.h"

#include "base/Guarded.h"
#include "compat/drawing/HeadlessDockTile.h"

namespace platform {

namespace {

base::Guarded<std::shared_ptr<DockTile>>& sharedTile() {
  static base::Guarded<std::shared_ptr<DockTile>> tile;
  return tile;
}

}  // namespace

std::shared_ptr<DockTile> DockTile::shared() {
  return sharedTile().update([](std::shared_ptr<DockTile>& tile) {
    if (!tile) tile = std::make_shared<HeadlessDockTile>();
    return tile;
  });
}

void DockTile::setShared(std::shared_ptr<DockTile> tile) { sharedTile().set(std::move(tile)); }

}  // namespace platform
