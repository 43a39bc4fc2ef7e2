#include "compat/drawing/DockProgressFactory.h"

#include "base/Guarded.h"

namespace platform {
namespace {
base::Guarded<ProgressIndicatorFactory>& factory() {
  static auto* f = new base::Guarded<ProgressIndicatorFactory>();
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
