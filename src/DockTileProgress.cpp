#include "DockTileProgress.h"

#include "compat/drawing/DockProgressFactory.h"
#include "compat/drawing/ProgressIndicator.h"
#include "compat/runtime/RunLoop.h"

namespace app {
namespace {

class TileSink : public ProgressSink {
 public:
  explicit TileSink(std::shared_ptr<platform::ProgressIndicator> tile) : tile_(std::move(tile)) {}
  void started(uint64_t totalBytes) override {
    tile_->setMinValue(0);
    tile_->setMaxValue(static_cast<double>(totalBytes));
    tile_->setDoubleValue(0);
  }
  void advanced(uint64_t doneBytes) override {
    tile_->setDoubleValue(static_cast<double>(doneBytes));
  }
  void ended() override { tile_->setHidden(true); }

 private:
  std::shared_ptr<platform::ProgressIndicator> tile_;
};

}  // namespace

std::function<std::shared_ptr<ProgressSink>()> dockTileProgress() {
  return []() -> std::shared_ptr<ProgressSink> {
    if (!platform::MainRunLoop::shared().isMainThread()) return nullptr;
    auto tile = platform::makeDockProgressIndicator();
    if (!tile) return nullptr;
    return std::make_shared<TileSink>(std::move(tile));
  };
}

}  // namespace app
