// Reads Rhythmbox's library: the song entries of rhythmdb.xml and the
// playlists of playlists.xml beside it (static ones and the play queue;
// automatic ones, which keep a query and no tracks, listed as not
// exportable). Tracks are known by their file's path.
// Thread: a reader holds only its map; read() may run on any thread.
// Errors: read() throws LibraryError (file, line, why) for either file
// unreadable or malformed; nothing is returned then.
#pragma once

#include <string>

#include "library/LibraryReader.h"

namespace app {

class RhythmboxReader {
 public:
  explicit RhythmboxReader(const PathMap& map) : map_(map) {}
  Library read(const std::string& rhythmdb) const;

 private:
  const PathMap& map_;
};

}  // namespace app
