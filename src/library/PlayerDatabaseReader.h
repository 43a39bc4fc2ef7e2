// Strawberry's and Clementine's SQLite libraries, read-only while the player
// may run (no write lock, nothing left beside them); columns read by name.
// Thread: a reader holds only its map; read() may run on any thread.
// Errors: throws LibraryError (file, why, the row at fault) for a database
// unreadable, busy past a few seconds, or not a player's.
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
