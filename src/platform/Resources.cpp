#include "platform/Resources.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace platform {

std::string resourceDirectory() {
  if (const char* env = std::getenv("TESSALINE_RESOURCES"); env && *env) return env;
  // Where the program lies does not change while it runs: looked up once
  // (the dock tile asks for its images many times a run).
  static const std::string found = [] {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
      auto installed = exe.parent_path().parent_path() / "share" / "tessaline";
      if (std::filesystem::is_directory(installed, ec)) return installed.string();
    }
    return std::string(TESSALINE_RESOURCE_DIR);
  }();
  return found;
}

std::string resourcePath(const std::string& name) {
  return (std::filesystem::path(resourceDirectory()) / name).string();
}

}  // namespace platform
