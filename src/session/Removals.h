// What an export's clean-up would remove for any set of ticked playlists,
// worked out from one plan that chose them all, so that a window can say
// it on every tick without planning again: each exported playlist's own
// playlist file and the track files it lists, as the clean-up judges them
// (written by the exporter, recorded, still as written), and what goes
// whatever is ticked. The tally counts, per file, the ticked playlists
// needing it; a file no ticked playlist needs is removed.
//
// Thread: plain values; any thread, one at a time per tally. Errors: none.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace session {

struct Removals {
  // False: the export removes nothing here (no clean-up, or one refused).
  bool cleanUp = false;
  struct File {
    std::string path;                // absolute
    uint64_t bytes = 0, onDisk = 0;  // its size, and what it takes in the drive's clusters
    bool playlistFile = false;
  };
  std::vector<File> files;  // the exporter's, each once
  struct Playlist {
    std::string id, name;
    // Indexes into files: its playlist file on the drive first (when the
    // exporter's), then the track files it lists there; a file no
    // playlist names goes whatever is ticked.
    std::vector<uint32_t> needs;
  };
  std::vector<Playlist> playlists;  // in the plan's order
};

struct RemovalFigures {
  // The playlists whose files go: by their names in the library, then the
  // exporter's playlist files of playlists it no longer has, by file name.
  std::vector<std::string> playlists;
  uint64_t files = 0, tracks = 0;  // tracks: the files other than playlist files
  uint64_t bytes = 0, onDisk = 0;
};

class RemovalTally {
 public:
  RemovalTally() = default;
  explicit RemovalTally(Removals removals);  // nothing ticked yet
  // The playlists ticked now (identifiers; unknown ones are ignored):
  // only the playlists whose tick changed are counted again.
  void setTicked(const std::vector<std::string>& ids);
  RemovalFigures figures() const;

 private:
  void count(uint32_t playlist, bool ticked);

  Removals r_;
  std::unordered_map<std::string, uint32_t> byId_;
  std::vector<uint8_t> ticked_;
  std::vector<uint32_t> needing_;  // per file: the ticked playlists that need it
  RemovalFigures removed_;         // without the names
};

}  // namespace session
