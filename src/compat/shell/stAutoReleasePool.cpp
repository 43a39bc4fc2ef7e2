#include "compat/shell/stAutoReleasePool.h"

#include "compat/runtime/AutoreleasePool.h"

namespace shell {

stAutoReleasePool::stAutoReleasePool() : slot_(&keep_) { platform::AutoreleasePool::push(); }

stAutoReleasePool::~stAutoReleasePool() {
  std::shared_ptr<void> survivor = slot_ ? *slot_ : nullptr;
  keep_.reset();
  platform::AutoreleasePool::pop();
  if (survivor) platform::AutoreleasePool::autorelease(std::move(survivor));
}

}  // namespace shell
