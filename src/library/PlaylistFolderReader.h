// A folder of .m3u, .m3u8, .pls and .xspf files, at any depth, as a
// library: each file a playlist, each folder holding some a playlist folder.
// Thread: a reader holds only its settings; read() may run on any thread.
// Errors: read() throws LibraryError (file, line, why) for a folder or a
// playlist file that cannot be read or parsed; nothing is returned then.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "library/LibraryReader.h"

namespace app {

class PlaylistFolderReader {
 public:
  // musicDir: where relative entries are looked for first (MPD's
  // convention); they are otherwise relative to their playlist's folder.
  PlaylistFolderReader(const PathMap& map, std::string musicDir)
      : map_(map), musicDir_(std::move(musicDir)) {}

  Library read(const std::string& folder) const;

  // The UTF-8 text of a playlist file: as it is when it is UTF-8 (a byte
  // order mark dropped), else read as Windows-1252, which is what an
  // ".m3u" not in UTF-8 is written in.
  static std::string textOf(std::string_view bytes, bool* windows1252 = nullptr);

 private:
  const PathMap& map_;
  std::string musicDir_;
};

}  // namespace app
