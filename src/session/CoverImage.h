// A cover image made the way a player wants it: of the type (JPEG or
// PNG) and at the size its profile asks, decoded, scaled and encoded by
// FFmpeg's libraries (loaded on first use). Thread: pure functions, any
// thread. Errors: a Status naming the image `path` and why it could not be
// made (FFmpeg missing, an image it cannot read); nothing is written here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/Status.h"

namespace session {

// "jpeg" or "png" by the image's first bytes; "" for neither.
std::string coverTypeOf(std::string_view bytes);

// The width and height an image's header gives; none when it has none.
std::optional<std::pair<int, int>> coverSizeOf(std::string_view bytes);

// The image `bytes` (read from `path`) as `type` ("jpeg" or "png"), its
// longer side `size` pixels (aspect kept; 0: its own size).
base::Result<std::string> convertCover(std::string_view bytes, const std::string& path,
                                       const std::string& type, int size);

}  // namespace session
