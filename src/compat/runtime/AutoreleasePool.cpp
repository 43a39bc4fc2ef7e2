#include "compat/runtime/AutoreleasePool.h"

#include <vector>

namespace platform {
namespace {

struct ThreadPools {
  std::vector<std::vector<std::shared_ptr<void>>> stack;
  ~ThreadPools() {
    // A thread that ends with pools open still releases what they hold.
    while (!stack.empty()) {
      auto top = std::move(stack.back());
      stack.pop_back();
      top.clear();
    }
  }
};

ThreadPools& pools() {
  thread_local ThreadPools p;
  return p;
}

}  // namespace

size_t AutoreleasePool::push() {
  auto& p = pools();
  p.stack.emplace_back();
  return p.stack.size();
}

void AutoreleasePool::pop() {
  auto& p = pools();
  if (p.stack.empty()) return;
  // Detach first, so objects autoreleased by the destructors below land
  // in the enclosing pool rather than in the one being drained.
  std::vector<std::shared_ptr<void>> drained = std::move(p.stack.back());
  p.stack.pop_back();
  // Release in the reverse order of arrival, as the platform's pools do.
  while (!drained.empty()) drained.pop_back();
}

size_t AutoreleasePool::depth() { return pools().stack.size(); }

size_t AutoreleasePool::pendingCount() {
  auto& p = pools();
  return p.stack.empty() ? 0 : p.stack.back().size();
}

void AutoreleasePool::autorelease(std::shared_ptr<void> object) {
  auto& p = pools();
  if (p.stack.empty() || !object) return;
  p.stack.back().push_back(std::move(object));
}

}  // namespace platform
