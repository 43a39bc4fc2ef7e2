// Reads the SQLite libraries of Strawberry and Clementine: songs,
// playlists and their items, through libsqlite3, read-only while the
// player may be running (no write lock, no journal; a busy database is
// retried for a while, then reported). Columns are looked up by name, so a
// schema of another version gives what it holds and the notes name what
// it lacks. Tracks are known by the database, their row and their path.
// Thread: a reader holds only its map; read() may run on any thread.
// Errors: throws LibraryError (file, why; the row when one is at fault).
#pragma once

#include <string>

#include "library/LibraryReader.h"
#include "library/LibrarySource.h"

namespace app {

class PlayerDatabaseReader {
 public:
  explicit PlayerDatabaseReader(const PathMap& map) : map_(map) {}
  Library read(const std::string& database, LibraryKind kind) const;

  // Whose database this is, by its tables; LibraryError when it is not a
  // player's library.
  static LibraryKind kindOf(const std::string& database);

  // The newest schema versions whose tables were checked against.
  static constexpr int kStrawberrySchema = 27;
  static constexpr int kClementineSchema = 54;

 private:
  const PathMap& map_;
};

}  // namespace app
