#include "library/PlayerDatabaseReader.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace app {
namespace {

// How long a database the player is writing is waited for.
constexpr int kBusyMs = 3000;

// Opens `file` read-only through a URI, so that nothing is created beside
// it and no write lock is ever asked for.
class Database {
 public:
  explicit Database(const std::string& file) : file_(file) {
    std::string uri = "file:";
    for (unsigned char c : std::filesystem::absolute(file).string()) {
      if (std::isalnum(c) ||
          std::string_view("/-._~").find(static_cast<char>(c)) != std::string_view::npos) {
        uri.push_back(static_cast<char>(c));
      } else {
        static const char kHex[] = "0123456789ABCDEF";
        uri += {'%', kHex[c >> 4], kHex[c & 15]};
      }
    }
    uri += "?mode=ro";
    // A read-only connection to a database in WAL mode makes its -wal and
    // -shm files when the player has none open, and cannot remove them:
    // with none there the database is whole as it stands, and is read as
    // it is, touching nothing.
    if (walMode(file) && !std::filesystem::exists(file + "-wal")) uri += "&immutable=1";
    int rc = sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    try {
      if (rc != SQLITE_OK) fail(rc, "cannot open the database");
      sqlite3_busy_timeout(db_, kBusyMs);
      // One snapshot for every query, so that a player saving meanwhile
      // gives songs and playlists of the same moment.
      exec("BEGIN");
    } catch (...) {
      sqlite3_close_v2(db_);
      throw;
    }
  }
  ~Database() {
    if (db_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
  }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Whether the header says WAL (its read and write versions 2).
  static bool walMode(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    char header[20] = {};
    return in.read(header, sizeof header) && header[18] == 2 && header[19] == 2;
  }

  [[noreturn]] void fail(int rc, const std::string& what, long row = 0) const {
    std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
      why += " (the player is writing it; tried for " + std::to_string(kBusyMs / 1000) +
             " s: try again, or quit the player)";
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) why += " (damaged, or not a database)";
    throw LibraryError(file_, 0,
                       (row ? "row " + std::to_string(row) + ": " : "") + what + ": " + why);
  }

  void exec(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(rc, "cannot read the database");
  }

  // Runs `sql`, calling `row` for each result row.
  void each(const std::string& sql, const std::function<void(sqlite3_stmt*)>& row) const {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr);
    if (rc != SQLITE_OK) fail(rc, "cannot read the database");
    std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement(raw, sqlite3_finalize);
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) row(raw);
    if (rc != SQLITE_DONE) fail(rc, "cannot read the database");
  }

  std::set<std::string> tables() const {
    std::set<std::string> out;
    each("SELECT name FROM sqlite_master WHERE type = 'table'",
         [&](sqlite3_stmt* s) { out.insert(text(s, 0)); });
    return out;
  }
  std::set<std::string> columns(const std::string& table) const {
    std::set<std::string> out;
    each("PRAGMA table_info(\"" + table + "\")", [&](sqlite3_stmt* s) { out.insert(text(s, 1)); });
    return out;
  }

  static std::string text(sqlite3_stmt* s, int column) {
    const auto* p = sqlite3_column_text(s, column);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(s, column)))
             : std::string();
  }
  static std::optional<int64_t> number(sqlite3_stmt* s, int column) {
    if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int64(s, column);
  }

 private:
  const std::string& file_;
  sqlite3* db_ = nullptr;
};

// The columns of a table that a reader wants, in a fixed order: those the
// table lacks are read as NULL and named.
class Columns {
 public:
  Columns(const Database& db, const std::string& table, std::vector<std::string> wanted,
          std::vector<std::string>* missing)
      : table_(table), wanted_(std::move(wanted)) {
    std::set<std::string> has = db.columns(table);
    for (const auto& c : wanted_) {
      present_.push_back(has.count(c) != 0);
      if (!present_.back()) missing->push_back(table + "." + c);
    }
  }
  std::string select() const {
    std::string sql = "SELECT rowid";
    for (size_t i = 0; i < wanted_.size(); ++i)
      sql += present_[i] ? ", \"" + wanted_[i] + "\"" : ", NULL";
    return sql + " FROM \"" + table_ + "\"";
  }
  bool has(const std::string& column) const {
    for (size_t i = 0; i < wanted_.size(); ++i)
      if (wanted_[i] == column) return present_[i];
    return false;
  }

 private:
  std::string table_;
  std::vector<std::string> wanted_;
  std::vector<bool> present_;
};

// A song's or an item's location: a file: URL as both players write it
// now, or a plain path as older ones did. None for anything else.
std::optional<std::string> pathOf(const std::string& location) {
  if (location.rfind("file:", 0) == 0) return LibraryReader::decodeFileUrl(location);
  if (!location.empty() && location.front() == '/') return location;
  return std::nullopt;
}

}  // namespace

LibraryKind PlayerDatabaseReader::kindOf(const std::string& database) {
  Database db(database);
  std::set<std::string> tables = db.tables();
  if (!tables.count("songs") || !tables.count("playlists"))
    throw LibraryError(database, 0,
                       "an SQLite database, but not a Strawberry or Clementine library (it has no "
                       "songs and playlists tables)");
  std::set<std::string> songs = db.columns("songs");
  if (songs.count("url") || tables.count("subsonic_songs") || tables.count("radio_channels"))
    return LibraryKind::kStrawberry;
  return LibraryKind::kClementine;
}

Library PlayerDatabaseReader::read(const std::string& database, LibraryKind kind) const {
  Database db(database);
  Library lib;
  LibraryAssembly assembly(lib, map_);
  const bool strawberry = kind == LibraryKind::kStrawberry;
  std::error_code ec;
  std::string identity = libraryKindName(kind) + std::string("\n") +
                         std::filesystem::weakly_canonical(database, ec).string();
  lib.libraryPersistentId = stableId(identity);
  std::set<std::string> tables = db.tables();

  std::optional<int64_t> version;
  if (tables.count("schema_version"))
    db.each("SELECT version FROM schema_version",
            [&](sqlite3_stmt* s) { version = Database::number(s, 0); });
  int newest = strawberry ? kStrawberrySchema : kClementineSchema;
  std::vector<std::string> missing;
  const std::string location = strawberry ? "url" : "filename";
  Columns songs(db, "songs",
                {"title", "artist", "album", "albumartist", "length", "filesize", location},
                &missing);
  // Songs by row; a row holding no file here is remembered as such.
  std::map<int64_t, uint32_t> byRow;
  std::map<std::string, uint32_t> byPath;
  std::set<int64_t> rowsWithoutFile;
  db.each(songs.select(), [&](sqlite3_stmt* s) {
    int64_t row = sqlite3_column_int64(s, 0);
    auto path = pathOf(Database::text(s, 7));
    if (!path) {
      ++lib.tracksWithoutFile;
      rowsWithoutFile.insert(row);
      return;
    }
    std::string title = Database::text(s, 1), artist = Database::text(s, 2),
                album = Database::text(s, 3), albumArtist = Database::text(s, 4);
    auto ns = Database::number(s, 5);
    auto size = Database::number(s, 6);
    TrackFields fields{title,
                       artist,
                       album,
                       albumArtist,
                       ns && *ns > 0 ? std::optional<int64_t>(*ns / 1'000'000) : std::nullopt,
                       size && *size >= 0 ? size : std::nullopt};
    // Rows are numbered anew when a library is rebuilt: the path goes with
    // the row, so that a reused number never stands for another file.
    uint32_t t = assembly.track("row\n" + identity + "\n" + std::to_string(row) + "\n" + *path,
                                *path, fields);
    byRow[row] = t;
    byPath.emplace(*path, t);
  });

  Columns playlists(db, "playlists", {"name", "ui_path", "ui_order"}, &missing);
  std::vector<std::pair<int64_t, size_t>> lists;  // row, index in lib.playlists
  std::map<std::string, std::string> folders;     // ui path -> persistent ID
  auto folderOf = [&](const std::string& uiPath) {
    std::string parent, sofar;
    for (size_t start = 0; start <= uiPath.size();) {
      size_t slash = std::min(uiPath.find('/', start), uiPath.size());
      std::string part = uiPath.substr(start, slash - start);
      start = slash + 1;
      if (part.empty()) continue;
      sofar += "/" + part;
      auto [at, added] = folders.try_emplace(sofar);
      if (added)
        at->second =
            lib.playlists[assembly.playlist("folder\n" + identity + sofar, part, parent, true)]
                .persistentId;
      parent = at->second;
    }
    return parent;
  };
  db.each(playlists.select() +
              (playlists.has("ui_order") ? " ORDER BY ui_order, rowid" : " ORDER BY rowid"),
          [&](sqlite3_stmt* s) {
            int64_t row = sqlite3_column_int64(s, 0);
            std::string parent = folderOf(Database::text(s, 2));
            lists.emplace_back(
                row, assembly.playlist("playlist\n" + identity + "\n" + std::to_string(row),
                                       Database::text(s, 1), parent));
          });
  std::map<int64_t, size_t> listAt(lists.begin(), lists.end());

  Columns items(db, "playlist_items",
                {"playlist", strawberry ? "collection_id" : "library_id", "url", "filename",
                 "title", "artist", "album", "length"},
                &missing);
  if (tables.count("playlist_items")) {
    db.each(items.select() + " ORDER BY rowid", [&](sqlite3_stmt* s) {
      int64_t row = sqlite3_column_int64(s, 0);
      auto list = listAt.find(sqlite3_column_int64(s, 1));
      if (list == listAt.end()) return;  // an item of a playlist since deleted
      auto names = [&](const std::string& why) {
        ++lib.itemsNamingMissingTrack;
        assembly.note(database + ": playlist_items row " + std::to_string(row) + ": " + why);
      };
      if (auto ref = Database::number(s, 2); ref && *ref > 0) {
        if (auto t = byRow.find(*ref); t != byRow.end())
          return assembly.append(list->second, t->second);
        if (rowsWithoutFile.count(*ref)) {
          ++lib.itemsNamingTrackWithoutFile;
          return;
        }
        return names("names song " + std::to_string(*ref) + ", which the library does not hold.");
      }
      // A file item's location: Clementine's filename, else the URL.
      std::string where = Database::text(s, 4);
      if (where.empty()) where = Database::text(s, 3);
      auto path = pathOf(where);
      if (!path) {
        if (where.empty()) return names("the entry names no file.");
        ++lib.itemsNamingTrackWithoutFile;
        return;
      }
      if (auto t = byPath.find(*path); t != byPath.end())
        return assembly.append(list->second, t->second);
      auto ns = Database::number(s, 8);
      std::string title = Database::text(s, 5), artist = Database::text(s, 6),
                  album = Database::text(s, 7);
      TrackFields fields{title,
                         artist,
                         album,
                         {},
                         ns && *ns > 0 ? std::optional<int64_t>(*ns / 1'000'000) : std::nullopt,
                         {}};
      assembly.append(list->second, assembly.track("file\n" + *path, *path, fields));
    });
  }

  // What a schema of another version lacks is said, not guessed.
  if (!version) {
    assembly.note(database +
                  ": the database names no schema version: what its tables hold by "
                  "the known names was read.");
  } else if (*version > newest || *version < 1) {
    assembly.note(database + ": schema version " + std::to_string(*version) + " of " +
                  libraryKindName(kind) + "'s database is not one known (1 to " +
                  std::to_string(newest) + "): what its tables hold by the known names was read.");
  }
  // An item's location is in either of two columns, and only Strawberry
  // orders its playlists: neither lacks anything when absent.
  std::erase_if(missing, [&](const std::string& c) {
    return c == "playlists.ui_order" || (c == "playlist_items.filename" && items.has("url")) ||
           (c == "playlist_items.url" && items.has("filename"));
  });
  if (!tables.count("playlist_items")) missing.push_back("playlist_items");
  if (!missing.empty()) {
    std::string list;
    for (const auto& c : missing) list += (list.empty() ? "" : ", ") + c;
    assembly.note(database + ": not read, as this version of the database lacks it: " + list + ".");
  }
  assembly.finish();
  return lib;
}

}  // namespace app
