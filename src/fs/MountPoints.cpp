#include "fs/MountPoints.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <string_view>

namespace fs {
namespace {

// The mount a path lies on: its mount ID where the kernel gives one (5.8
// and later), else its device, which at least tells file systems apart.
std::optional<uint64_t> mountOf(const std::string& path) {
  struct statx st {};
  if (statx(AT_FDCWD, path.c_str(), AT_NO_AUTOMOUNT, STATX_MNT_ID, &st) != 0) return std::nullopt;
  if (st.stx_mask & STATX_MNT_ID) return st.stx_mnt_id;
  return (static_cast<uint64_t>(st.stx_dev_major) << 32) | st.stx_dev_minor;
}

bool inside(std::string_view path, std::string_view folder) {
  return path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

}  // namespace

std::optional<std::string> mountTopWithNothingMounted(const std::string& folder) {
  for (const char* top : {"/media", "/run/media", "/mnt"}) {
    if (!inside(folder, top)) continue;
    auto here = mountOf(folder), there = mountOf(top);
    if (here && there && *here == *there) return std::string(top);
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace fs
