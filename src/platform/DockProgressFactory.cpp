#include "platform/DockProgressFactory.h"

#include <mutex>

namespace platform {
namespace {
std::mutex g_mutex;
ProgressIndicatorFactory& factory() {
  static auto* f = new ProgressIndicatorFactory();
  return *f;
}
}  // namespace

void setDockProgressIndicatorFactory(ProgressIndicatorFactory f) {
  std::lock_guard<std::mutex> lock(g_mutex);
  factory() = std::move(f);
}

std::shared_ptr<ProgressIndicator> makeDockProgressIndicator() {
  ProgressIndicatorFactory f;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    f = factory();
  }
  return f ? f() : nullptr;
}

}  // namespace platform
