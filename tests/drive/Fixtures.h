// Where the shared real-data fixtures are: $TESSALINE_FIXTURES when set
// (a worktree checked out elsewhere), else beside the source tree.
#pragma once

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace drive::fakes {

inline std::string fixtureDir(const std::string& sub) {
  const char* env = std::getenv("TESSALINE_FIXTURES");
  std::string base =
      env && *env ? std::string(env) : std::string(TESSALINE_SOURCE_DIR "/../shared/fixtures");
  return base + "/" + sub + "/";
}

inline std::optional<std::string> readFixture(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace drive::fakes
