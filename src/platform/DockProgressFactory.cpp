#include "platform/DockProgressFactory.h"

#include "platform/Guarded.h"

namespace platform {
namespace {
Guarded<ProgressIndicatorFactory>& factory() {
  static auto* f = new Guarded<ProgressIndicatorFactory>();
  return *f;
}
}  // namespace

void setDockProgressIndicatorFactory(ProgressIndicatorFactory f) {
  factory().exchange(std::move(f));
}

std::shared_ptr<ProgressIndicator> makeDockProgressIndicator() {
  ProgressIndicatorFactory f = factory().get();
  return f ? f() : nullptr;
}

}  // namespace platform
