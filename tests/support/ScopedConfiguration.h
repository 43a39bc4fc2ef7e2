// Changes the process's configuration for one scope, then puts back the
// one before. Tests only, on the test's thread while no other thread
// runs.
#pragma once

#include <functional>
#include <memory>

#include "platform/Configuration.h"

namespace testsupport {

class ScopedConfiguration {
 public:
  explicit ScopedConfiguration(const std::function<void(platform::Configuration&)>& change)
      : saved_(platform::configuration()) {
    platform::Configuration changed = *saved_;
    change(changed);
    platform::setConfiguration(std::move(changed));
  }
  ~ScopedConfiguration() { platform::setConfiguration(*saved_); }
  ScopedConfiguration(const ScopedConfiguration&) = delete;
  ScopedConfiguration& operator=(const ScopedConfiguration&) = delete;

 private:
  std::shared_ptr<const platform::Configuration> saved_;
};

}  // namespace testsupport
