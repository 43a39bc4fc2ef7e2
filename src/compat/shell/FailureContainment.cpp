#include "compat/shell/FailureContainment.h"

namespace shell {

void logCaughtException(std::string_view line, const platform::Exception& e) {
  base::logFormat(line, e.name(), e.reason());
}

}  // namespace shell
