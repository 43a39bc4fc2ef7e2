// Rhythmbox's rhythmdb.xml (songs) and the playlists.xml beside it (static
// playlists; automatic ones listed as not exportable), tracks by path.
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
