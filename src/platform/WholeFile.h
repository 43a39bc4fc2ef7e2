// Reads a whole file into memory: the one way the platform and drive
// layers read configuration, property lists, recordings and kernel
// tables (sysfs, /proc). Not for media files: those go through the file
// manager.
//
// Thread: any thread.
// Errors: a file that cannot be opened or read answers the system's
// reason, "cannot read /etc/x: Permission denied"; one that is not a
// regular file or is larger than `maxBytes` answers a failure naming the
// path (EINVAL, EFBIG), unless `oversize` asks for its first `maxBytes`.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Status.h"

namespace platform {

enum class Oversize { kFail, kTruncate };

inline constexpr size_t kWholeFileDefaultLimit = 16 << 20;

Result<std::string> readWholeFile(const std::string& path, size_t maxBytes = kWholeFileDefaultLimit,
                                  Oversize oversize = Oversize::kFail);

}  // namespace platform
