// What the files of the export session share among themselves (the
// session's steps are split by responsibility: load, stale judgement,
// copy, covers, playlist files, target, clean-up): small helpers only.
// Thread: none of them keeps state. Errors: as each says.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "fs/DestinationRoot.h"
#include "fs/DriveRecord.h"
#include "fs/FileManager.h"
#include "session/ExportSession.h"

namespace app::detail {

// No playlist file the exporter writes comes near this; a larger one is
// not read as the exporter's.
constexpr size_t kMaxPlaylistBytes = 64 << 20;

// A destination with a ".." component would lead out of the music folder.
bool leavesRoot(std::string_view relative);
// Whether a file with the stamp `now` is the one the entry describes (a
// playlist file's entry also keeps the stamp of the file it replaced).
bool asWritten(const fs::RecordEntry& e, const fs::FileStamp& now, int64_t step);
// The size and time of the plain file at `path` (not through a link).
std::optional<fs::FileStamp> plainFileStamp(fs::FileManager& fm, const std::string& path);
// The record's entry for a file about to be named below `root`.
std::optional<fs::RecordEntry> entryOfStaged(const fs::DestinationRoot& root,
                                             const fs::CopyBatchOptions::Staged& file,
                                             fs::EntryKind kind);
std::string sourcePathTooLong(const std::string& source);
base::Status fail(base::Status::Kind kind, std::string message);
std::string defaultLibraryFile(const base::Configuration& config);
std::string refusalReason(session::Refused::Why why);
size_t editDistance(const std::string& a, const std::string& b);
base::Result<std::set<const LibraryPlaylist*>> choosePlaylists(
    const Library& library, const std::vector<std::string>& names);

}  // namespace app::detail
