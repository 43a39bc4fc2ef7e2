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
#include <string_view>

#include "base/Status.h"

namespace base {

enum class Oversize { kFail, kTruncate };

inline constexpr size_t kWholeFileDefaultLimit = 16 << 20;
// What a preference file or a recorded piece of hardware (a fake
// machine's files, which anyone can put there) may hold at most.
inline constexpr size_t kSmallFileLimit = 1 << 20;

// Puts `bytes` at `path` whole or not at all: written to a temporary file
// beside it, flushed to the disk, then renamed over it, so that a crash
// or a full disk leaves the old file (or none) rather than a torn one.
// Errors: "cannot write <path>: <reason>"; the temporary file is removed.
Status replaceWholeFile(const std::string& path, std::string_view bytes);

Result<std::string> readWholeFile(const std::string& path, size_t maxBytes = kWholeFileDefaultLimit,
                                  Oversize oversize = Oversize::kFail);

}  // namespace base
