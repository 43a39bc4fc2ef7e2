// The export's plan as a function of plain values: what the library holds
// (a snapshot, laid out for the drive), what the drive and the sources
// showed when they were looked at, and the playlists chosen. No registry,
// no process-wide state: the same inputs give the same plan, on any
// thread.
//
// The accounting is the one users know from the plan table:
// - a playlist's "to copy" is what it lacks on the drive, every entry
//   counted (a track listed twice counts twice);
// - its "this export" is what it is charged: a track shared by several
//   playlists is charged to the first of them, in the order chosen, so the
//   column adds up to the export's total;
// - a track left unchecked in the library counts nothing unless unchecked
//   tracks are copied too.
//
// Thread: the functions are pure apart from observe(), which asks the
// file manager (any thread; it may start a few lookup threads).
// Errors: none; a track whose source cannot be found counts zero bytes,
// and one whose destination cannot be looked at is not on the drive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/TextHash.h"
#include "fs/DriveLimits.h"
#include "fs/DriveRecord.h"
#include "library/LibraryReader.h"
#include "session/StaleWalk.h"

namespace platform {
class FileManager;
}

namespace session {

// A track as the export sees it: its source on this computer and its
// place on the drive, relative to the drive's music folder.
struct SnapshotTrack {
  std::string id;
  std::string source;       // empty: not on this computer
  std::string destination;  // relative to the music folder
  bool enabled = true;      // checked in the library
  // Converted for a player that cannot play the source: the settings in
  // words ("mp3 V2"), which the record keeps, and the converted file's
  // size as estimated from the playing time. Empty: copied as it is.
  std::string conversion;
  uint64_t estimatedBytes = 0;
};

struct SnapshotPlaylist {
  std::string id, name;
  std::vector<uint32_t> items;  // indexes into Snapshot::tracks, in order, repeats kept
  double seconds = 0;           // playing time of every entry the library has, placed or not
};

struct Snapshot {
  std::vector<SnapshotTrack> tracks;
  std::vector<SnapshotPlaylist> playlists;
};

// What stands at a track's destination, judged by the drive's record.
enum class AtDestination : uint8_t {
  kNothing,  // to be copied
  kTrack,    // this track, as the exporter wrote it (or the same bytes and time as its source)
  kRepair,   // the exporter's copy of this track, since cut short, damaged or outdated
  kOther,    // something that is not this track's copy: left alone
};

// What the drive and the sources showed, one entry per snapshot track.
struct Observed {
  std::vector<uint8_t> onDrive;  // the track is on the drive (AtDestination::kTrack)
  std::vector<AtDestination> at;
  std::vector<uint64_t> sourceBytes;  // 0 when the source is missing or a folder
  std::vector<int64_t> sourceTimeNs;
  std::vector<uint8_t> sourceFound;
  std::vector<uint8_t> sourcePlainFile;         // a regular file, not reached through a link
  std::vector<fs::FileStamp> driveStamp;        // of the file at the destination, when asked
  // The exporter's copy of this very track, changed since otherwise than
  // cut short: the user's now, left where it is (kOther).
  std::vector<uint8_t> changedCopy;
  // Tracks on the drive by another entry's word: an older record's path
  // with the source's size and time, or the unchanged copy of the same
  // source made for a track of a rebuilt library (new persistent IDs).
  // The exporter takes them over in its record under this track's name.
  std::vector<uint32_t> adopted;
};

// The drive's record as observe() reads it: its entries, the library it
// judges for, and the drive's time step.
struct DriveView {
  const fs::RecordContents* record = nullptr;  // none: a file is the track by name
  std::string libraryId;
  int64_t timeStepNs = fs::kExactTimeStepNs;
  // Tracks `tessaline check` found damaged (content differs, size and
  // time as written), by record key, with the size and time then: while
  // the file still has them, it is repaired.
  const std::unordered_map<std::string, fs::FileStamp>* damaged = nullptr;
  // A stale walk lists the destination folders next: with the file
  // manager's shared listings, the look lists each once for both.
  bool walkFollows = false;
  // The music folder below the root, as the record's paths begin.
  std::string musicPrefix = "Music/";
  // Walk keys of destinations made already: a record key is the music
  // folder's and one of these.
  const KnownKeys* keys = nullptr;
};

struct Choice {
  std::vector<uint32_t> playlists;  // indexes into Snapshot::playlists, in order; repeats ignored
  bool copyOnlyChecked = true;
  // What the drive's file system holds, and the length of the music
  // folder's path there (the system refuses paths of PATH_MAX bytes).
  fs::DriveLimits drive;
  size_t musicRootBytes = 0;
  // Tracks to have on the drive whatever their check box says, charged to
  // no playlist: those listed by playlist files kept as they stand.
  std::vector<uint32_t> alsoCopy;
};

// A track the drive cannot hold, left out of the copy.
struct Refused {
  enum class Why : uint8_t { kTooLarge, kNameTooLong, kPathTooLong, kNameNotAscii };
  uint32_t track = 0;
  Why why = Why::kTooLarge;
};

struct PlaylistFigures {
  uint32_t playlist = 0;
  size_t entries = 0;
  uint64_t toCopy = 0;
  uint64_t thisExport = 0;
};

struct Plan {
  std::vector<PlaylistFigures> playlists;  // in the order chosen, each once
  uint64_t bytesToCopy = 0;                // the sum of thisExport
  // Tracks to put on the drive, each once, in the order they are charged
  // (unchecked ones only when copied too); a repair replaces the copy
  // there.
  std::vector<uint32_t> copies;
  // What the copies take on the drive, counted in its clusters.
  uint64_t spaceNeeded = 0;
  // Tracks to copy that the drive's file system cannot hold, each once,
  // neither copied nor charged.
  std::vector<Refused> refused;
};

// The snapshot of `library`: every track that `trackPathsByPlace` places
// (by its place in library.tracks, relative to the music folder; taken
// over), and every playlist with the items that name one of them.
// `places`, when given, gets each snapshot track's place in the library.
Snapshot snapshotOf(const app::Library& library,
                    std::vector<std::optional<std::string>> trackPathsByPlace,
                    std::vector<uint32_t>* places = nullptr);

// Looks at every track's destination below `musicRoot` and at its source.
// With a record, a file at a destination is the track only when the
// record says the exporter wrote this track there, the file still has
// the size and time it had then (at the drive's time step, or shifted by
// whole quarter hours on FAT) and the source has not changed since. The
// exporter's unchanged copy of a changed source, or its copy cut short,
// is to be repaired (cut short: shorter, and the start of its source);
// a recorded file changed otherwise is the user's and left alone. A
// converted track is the one on the drive only while the record names the
// same conversion; made otherwise, it is outdated. A path only an older record
// names, or none, holds the track when the file has the source's size and time (the copy keeps its
// source's time); anything else is left alone.
// `sources`, when given, holds what each snapshot track's source was
// found to be a moment before (in the snapshot's order); they are then
// not looked at again. So does `seen` for the drive paths it names (none:
// nothing is there).
using SeenPaths = std::unordered_map<std::string, std::optional<fs::FileAttributes>, base::TextHash,
                                     std::equal_to<>>;
Observed observe(const Snapshot& snapshot, std::string_view musicRoot, fs::FileManager& fileManager,
                 const DriveView& drive = {},
                 const std::vector<std::optional<fs::FileAttributes>>* sources = nullptr,
                 const SeenPaths* seen = nullptr);

Plan makePlan(const Snapshot& snapshot, const Observed& observed, const Choice& choice);

}  // namespace session
