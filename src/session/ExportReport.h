// The export's JSON report, built from the session's step results: the
// command line's `export --json` prints it, the window saves it (Save
// Report…), so both say the same things under the same keys. Each
// function answers the keys of one step, to be merged into the report
// object in the order the steps ran (ExportReport::add).
//
// Thread: pure functions of their values; any thread.
// Errors: none; names that are not UTF-8 are written with U+FFFD by dump().
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "session/ExportSession.h"

namespace app {

// "playlists", "bytesToCopy", "spaceNeeded", "freeSpace" (null when the
// drive does not tell), "fileSystem", "skippedBuiltInPlaylists",
// "unplayable", "cannotBeCopied", "toRename", "leftOut", and "stale":
// {"skipped"} when no clean-up may run; with a conversion asked,
// "convert": {"to", "tracks", "estimatedBytes"}.
nlohmann::json planReport(const ExportPlan& plan);
// "bytesCopied", "notCopied", "uncheckedNotCopied", "copied", "converted"
// (how many of those copied were converted).
nlohmann::json copyReport(const CopyOutcome& copy);
// "renamed", "notRenamed": the tracks renamed on the drive as the copy began.
nlohmann::json renameReport(const ExportSession::Renamed& renamed);
// "playlistFiles", "playlistFilesNotWritten", "playlistFilesBesideUsers",
// "entriesNotOnDrive", "leftOutOfPlaylistFiles".
nlohmann::json playlistReport(const PlaylistOutcome& playlists);
// The "stale" object: what the plan judged stale, kept and deleted.
nlohmann::json staleReport(const ExportPlan& plan, const CleanOutcome& clean);

struct ExportReport {
  nlohmann::json json = nlohmann::json::object();
  void add(const nlohmann::json& keys) { json.update(keys); }
  std::string text() const {
    return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  }
};

}  // namespace app
