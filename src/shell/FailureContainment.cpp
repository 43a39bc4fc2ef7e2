#include "shell/FailureContainment.h"

namespace shell {

void logCaughtException(std::string_view line, const platform::Exception& e) {
  platform::logFormat(line, e.name(), e.reason());
}

}  // namespace shell
