// Changes the process's configuration for one scope, then puts back the
// one before. Tests only, on the test's thread while no other thread
// runs.
#pragma once

#include <functional>
#include <memory>

#include "base/Configuration.h"

namespace testsupport {

class ScopedConfiguration {
 public:
  explicit ScopedConfiguration(const std::function<void(base::Configuration&)>& change)
      : saved_(base::configuration()) {
    base::Configuration changed = *saved_;
    change(changed);
    base::setConfiguration(std::move(changed));
  }
  ~ScopedConfiguration() { base::setConfiguration(*saved_); }
  ScopedConfiguration(const ScopedConfiguration&) = delete;
  ScopedConfiguration& operator=(const ScopedConfiguration&) = delete;

 private:
  std::shared_ptr<const base::Configuration> saved_;
};

}  // namespace testsupport
