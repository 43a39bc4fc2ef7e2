// The exporter's own files in a root's state folder (the lock, the
// record, their temporaries), opened and replaced so that nothing else
// standing at their names is ever read, written through or followed:
//   - a symbolic link, FIFO, socket or device there is refused before it
//     is opened (and, as it could be swapped in meanwhile, once more by
//     fstat after an open with O_NOFOLLOW|O_NONBLOCK|O_CLOEXEC);
//   - a file with other hard links (a `cp -al` or `rsync --link-dest`
//     snapshot shares it) is never written through: replaceStateFile puts
//     a fresh file in its place instead;
//   - reads stop at a bound counted in bytes actually read.
//
// Thread: any thread; callers keep writers of one file apart (RootLock).
// Ownership: descriptors returned are the caller's to close.
// Errors: a Status naming `display` (the file's path for messages) and
// why: the system's reason, "it is a FIFO, not a regular file" (ELOOP for
// a link, kNotRegularFile otherwise) or "it is larger than N bytes"
// (EFBIG).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/Status.h"

namespace fs {

// Opens `name` in the open folder `folder` with `flags` (O_RDONLY,
// O_RDWR|O_CREAT, O_WRONLY|O_APPEND, ...); its fstat goes to *st. An
// absent file answers ENOENT.
base::Result<int> openStateFile(int folder, const std::string& name, int flags,
                                const std::string& display, struct stat* st);

// Reads `fd` from its start to its end, failing past `maxBytes`.
base::Result<std::string> readStateFile(int fd, size_t maxBytes, const std::string& display);

// Puts `bytes` at `name` whole or not at all: written to `name`.new,
// flushed, renamed over `name`, and the folder flushed.
base::Status replaceStateFile(int folder, const std::string& name, std::string_view bytes,
                              const std::string& display);

// Appends `bytes` to `fd`, the open state file `name` of `folder` (at most
// `maxBytes` long); with `flush`, on the disk before it returns. Where
// the file system refuses to extend a file written before (fusefat
// answers EPERM once the file was closed), the file is replaced whole by
// its text followed by `bytes`.
base::Status appendStateFile(int folder, const std::string& name, int fd, std::string_view bytes,
                             bool flush, size_t maxBytes, const std::string& display);

// The text of the state file `name` of the drive folder `root`; empty when
// there is none, and nullopt (with the reason in *why) when it cannot be read.
std::optional<std::string> readStateText(const std::string& root, const std::string& name,
                                         size_t maxBytes, base::Status* why);
// Replaces the state file `name` of `root` with `text`; empty text on a
// drive without a state folder makes none.
base::Status writeStateText(const std::string& root, const std::string& name,
                            const std::string& text);

}  // namespace fs
