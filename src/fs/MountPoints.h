// Whether a folder under the places drives are mounted (/media,
// /run/media, /mnt) has a drive mounted on its way down, or is only a
// folder of the computer's own disk: a drive that is not plugged in
// leaves its mount point behind, and an export there would fill the
// computer's disk instead of the drive.
//
// Thread: any thread; it only asks the kernel.
// Errors: a folder that cannot be examined is not judged (no answer):
// opening it later reports the real reason.
#pragma once

#include <optional>
#include <string>

namespace fs {

// For `folder` (an absolute path with no symbolic links, such as
// std::filesystem::canonical gives) that lies in /media, /run/media or
// /mnt on the very mount of that top folder, the top folder; otherwise
// none. Mounts are told apart by their mount IDs, so a bind mount counts
// as a mount even on the same file system.
std::optional<std::string> mountTopWithNothingMounted(const std::string& folder);

}  // namespace fs
