// What an MP4 file of AAC or Apple Lossless sound holds, told from its
// boxes alone: the container, the codec and the playing time, as
// libavformat's reading of the same header tells them. That reading was
// most of a first export's time. A file outside this narrow form (another
// codec, more than one track, an edit list of more than one entry, tables
// that do not add up) is not told here, and goes to libavformat. A header
// damaged where libavformat's MP4 reader refuses it but this does not may
// still be told (libavformat would then try its other readers).
//
// Thread: any; each call is independent. Errors: none; a file not told
// (a failed read included) is none.
#pragma once

#include <optional>
#include <string>

#include "session/MediaProbe.h"

namespace fs {
class FileManager;
class ReadableFile;
}  // namespace fs

namespace session {

std::optional<Probed> probeMp4Header(fs::ReadableFile& file);

// The container, codec and playing time of the file at `path`: from its
// boxes when they tell them, else as probeMedia tells them (its errors).
base::Result<Probed> probeFormat(fs::FileManager& files, const std::string& path);

}  // namespace session
