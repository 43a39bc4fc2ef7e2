#include "platform/Resources.h"

#include <filesystem>
#include <system_error>

#include "platform/Configuration.h"

namespace platform {

std::string resourceDirectory() {
  if (auto config = configuration(); !config->resources.empty()) return config->resources;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    auto installed = exe.parent_path().parent_path() / "share" / "tessaline";
    if (std::filesystem::is_directory(installed, ec)) return installed.string();
  }
  return TESSALINE_RESOURCE_DIR;
}

std::string resourcePath(const std::string& name) {
  return (std::filesystem::path(resourceDirectory()) / name).string();
}

}  // namespace platform
