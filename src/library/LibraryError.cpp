#include "library/LibraryError.h"

#include <utility>

namespace app {
namespace {

std::string describe(const std::string& file, long line, const std::string& message) {
  if (line > 0) return file + ": line " + std::to_string(line) + ": " + message;
  return file + ": " + message;
}

}  // namespace

LibraryError::LibraryError(std::string file, long line, std::string message)
    : std::runtime_error(describe(file, line, message)),
      file_(std::move(file)),
      line_(line),
      message_(std::move(message)) {}

}  // namespace app
