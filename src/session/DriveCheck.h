// `tessaline check`: the drive compared with the record the exporter keeps
// of what it wrote there. Each recorded file is looked at (size and time,
// at the drive's time step) and, unless only sizes and times are wanted,
// read and hashed (XXH3-64) against the checksum taken when it was
// copied; entries recorded before checksums existed are judged by size
// and time only, and counted as such. The drive is also walked for files
// the exporter did not write, and the exporter's playlist files for
// entries that name nothing.
//
// Damaged tracks (content differs, size and time as written) are noted
// in the drive's state folder ("damaged"), so that the next export copies
// them again while they stay as check found them. Nothing else is
// written, and nothing is removed.
//
// Thread: called on one thread; it reads the files on a few threads of
// its own, joined before it returns.
// Errors: a drive that cannot be opened or whose record cannot be read
// is a failed Result (a usage error for the command line); a file that
// cannot be read is reported as damaged with the reason.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/DriveRecord.h"

namespace fs {
class FileManager;
}

namespace app {

struct CheckedFile {
  std::string path;    // below the drive's root
  uint64_t bytes = 0;  // as it is now (as recorded, when missing)
  std::string detail;  // what differs, in words
};

struct CheckReport {
  std::string root, fileSystem;
  std::vector<CheckedFile> damaged;  // content differs, size and time as written
  std::vector<CheckedFile> changed;  // size or time differs
  std::vector<CheckedFile> missing;  // recorded, not there
  std::vector<CheckedFile> notOurs;  // files the exporter did not write
  // Playlist entries that name nothing (path: the playlist file, detail:
  // the entry): a file the exporter wrote there, since gone, or one it
  // never copied (left unchecked, or its copy failed, as the export said).
  std::vector<CheckedFile> dangling, neverCopied;
  std::vector<CheckedFile> cannotHold;  // names or sizes the drive's file system cannot hold
  uint64_t notOursBytes = 0;
  size_t byContent = 0, bySizeAndTime = 0;  // recorded files judged each way
  uint64_t bytesRead = 0;
  bool damageNoted = true;  // false: the note for the next export could not be written
  // All the exporter wrote is as it wrote it.
  bool ok() const {
    return damaged.empty() && changed.empty() && missing.empty() && dangling.empty() &&
           cannotHold.empty();
  }
};

// Checks the drive folder `root`; with `fast`, sizes and times only, and
// no playlist entry resolved (that reads every playlist file).
base::Result<CheckReport> checkDrive(fs::FileManager& files, const std::string& root, bool fast);

// The damaged-track note check leaves in the drive's state folder: keys
// of the record with the size and time their file had when found damaged.
std::unordered_map<std::string, fs::FileStamp> readDamageNote(const std::string& root);
// Writes the note anew with `damaged` only (none: removes what it said);
// the caller holds the drive's lock. What failed, where and why when it
// cannot be written.
base::Status writeDamageNote(const std::string& root,
                             const std::unordered_map<std::string, fs::FileStamp>& damaged);

}  // namespace app
