#include "base/Resources.h"

#include <filesystem>
#include <system_error>

#include "base/Configuration.h"

namespace base {

std::string resourceDirectory() {
  if (auto config = configuration(); !config->resources.empty()) return config->resources;
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

}  // namespace base
