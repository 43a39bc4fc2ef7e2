// The framework exception: what the system's own code throws, and what
// the registries throw when a whole-registry walk is disturbed by a
// concurrent change. Failure containment (compat/shell/FailureContainment.h)
// catches exactly this class; anything else thrown passes through.
//
// Thread: immutable after construction; safe to share.
#pragma once

#include <stdexcept>
#include <string>

namespace platform {

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason);

  const std::string& name() const noexcept { return name_; }
  const std::string& reason() const noexcept { return reason_; }
  const char* what() const noexcept override { return what_.c_str(); }

  // The name the collections use when they are changed while walked.
  static constexpr const char* kGenericExceptionName = "NSGenericException";

 private:
  std::string name_;
  std::string reason_;
  std::string what_;
};

}  // namespace platform
