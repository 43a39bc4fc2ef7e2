// The scope object that collects the temporary objects of a block and
// releases them when the block ends, on every exit including exception
// unwinding. Long operations open one for their body; each background
// thread opens its own.
//
// An object put into the keep slot survives the scope: it is handed to
// the enclosing pool when the scope ends.
//
// Thread: a scope belongs to the thread that made it; scopes nest
// strictly (destroy in reverse order of construction).
#pragma once

#include <memory>

namespace shell {

class stAutoReleasePool {
 public:
  stAutoReleasePool();
  ~stAutoReleasePool();
  stAutoReleasePool(const stAutoReleasePool&) = delete;
  stAutoReleasePool& operator=(const stAutoReleasePool&) = delete;

  void keep(std::shared_ptr<void> object) { keep_ = std::move(object); }

 private:
  std::shared_ptr<void> keep_;
  std::shared_ptr<void>* slot_;
};

}  // namespace shell
