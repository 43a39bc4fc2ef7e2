// Renames of the exporter's own files on the drive, through its record:
// a track the drive holds under a name the layout now spells otherwise
// (decomposed where names are now composed, "_" where "$" now stays)
// moves to the new name once.
//
// Each rename is recorded before it is made (the new entry first, the
// old one removed once the file has moved, so no file is ever named
// unrecorded), made in one step without replacing anything that stands
// at the new name, and undone in the record when it fails; a failed
// rename keeps the old name, which still serves.
// Only a file that still is as the record says the exporter wrote it is
// moved; folders the move leaves empty go, folders it made for nothing
// too.
//
// Thread: the caller's; the writer is the record's (see DriveRecord).
// Errors: per rename, in its result, and logged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/DriveRecord.h"
#include "fs/FileManager.h"

namespace session {

struct DriveRename {
  std::string from, to;  // relative to the root
  // The folders it empties are left for the clean-up, which says what it
  // cannot remove (a move out of a folder an earlier profile named).
  bool leaveFolders = false;
  bool done = false;
  std::string reason;  // why not, when not done
};

// `entries`: the record as loaded; `timeStepNs`: the drive's time step.
void renameRecorded(fs::FileManager& fm, const fs::DestinationRoot& root, fs::DriveRecord& record,
                    const fs::RecordContents& entries, int64_t timeStepNs,
                    std::vector<DriveRename>& renames);

// The cover images named `coverName` that the record holds in the
// folders the done renames left, to follow their tracks into the new
// folders (one under another name is stale where it is).
std::vector<DriveRename> coversFollowing(const fs::RecordContents& entries,
                                         const std::vector<DriveRename>& renames,
                                         const std::string& coverName);

}  // namespace session
