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
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "library/LibraryReader.h"

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
};

struct SnapshotPlaylist {
  std::string id, name;
  std::vector<uint32_t> items;  // indexes into Snapshot::tracks, in order, repeats kept
};

struct Snapshot {
  std::vector<SnapshotTrack> tracks;
  std::vector<SnapshotPlaylist> playlists;
};

// What the drive and the sources showed, one entry per snapshot track.
struct Observed {
  std::vector<uint8_t> onDrive;       // a file (not a folder) at the destination
  std::vector<uint64_t> sourceBytes;  // 0 when the source is missing or a folder
  std::vector<uint8_t> sourceFound;
};

struct Choice {
  std::vector<uint32_t> playlists;  // indexes into Snapshot::playlists, in order; repeats ignored
  bool copyOnlyChecked = true;
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
  // (unchecked ones only when copied too).
  std::vector<uint32_t> copies;
};

// The snapshot of `library`: every track that `trackPaths` places (by
// persistent ID, relative to the music folder), and every playlist with
// the items that name one of them.
Snapshot snapshotOf(const app::Library& library,
                    const std::unordered_map<std::string, std::string>& trackPaths);

// Looks at every track's destination below `musicRoot` and at its source.
Observed observe(const Snapshot& snapshot, std::string_view musicRoot,
                 platform::FileManager& fileManager);

Plan makePlan(const Snapshot& snapshot, const Observed& observed, const Choice& choice);

}  // namespace session
