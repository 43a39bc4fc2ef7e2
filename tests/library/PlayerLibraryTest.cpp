// The libraries Linux players keep, and folders of playlists, read into
// the same record as the XML export: each written here as its player
// writes it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <string>

#include "library/LibraryReader.h"
#include "library/LibrarySource.h"
#include "support/TempDir.h"

namespace app {
namespace {

using testsupport::writeFile;

// The playlists as "Folder/Name: title|artist|ms|path; ..." lines, paths
// below `root` given as "~/...".
std::string outline(const Library& lib, const std::string& root) {
  std::map<std::string, std::string> names;
  for (const auto& p : lib.playlists) names[p.persistentId] = p.name;
  std::string out;
  for (const auto& p : lib.playlists) {
    out += (p.parentPersistentId.empty() ? "" : names[p.parentPersistentId] + "/") + p.name +
           (p.folder ? "/" : ":");
    for (uint32_t i : p.tracks) {
      const LibraryTrack& t = lib.tracks[i];
      std::string at(t.location);
      if (at.rfind(root, 0) == 0) at = "~" + at.substr(root.size());
      out += " " + std::string(t.name) + "|" + std::string(t.artist) + "|" +
             (t.totalTimeMs ? std::to_string(*t.totalTimeMs) : "") + "|" + at + ";";
    }
    out += "\n";
  }
  return out;
}

// The media of every fixture library: two files, one with an accent.
void writeMedia(const testsupport::TempDir& dir) {
  writeFile(dir / "m/a.mp3", "aaa");
  writeFile(dir / "m/b \u00E9.mp3", "bbbb");
}

TEST(PlaylistFolderReader, EveryFormatEncodingAndKindOfEntry) {
  testsupport::TempDir dir;
  writeMedia(dir);
  const std::string m = dir / "m";
  writeFile(dir / "lists/Road.m3u8",
            "\xEF\xBB\xBF#EXTM3U\n#EXTINF:61,Art - Alpha\n../m/a.mp3\n"
            "http://radio.example/stream\nfile://" +
                m + "/b%20%C3%A9.mp3\n");
  writeFile(dir / "lists/Old.m3u", "#EXTM3U\r\n..\\m\\b \xE9.mp3\r\n" + m + "/a.mp3\r\n");
  writeFile(dir / "lists/Sub/Deep.pls",
            "[playlist]\nFile2=\nFile1=" + m + "/a.mp3\nTitle1=A1\nLength1=7\nNumberOfEntries=2\n");
  writeFile(dir / "lists/Sub/Mix.xspf",
            "<?xml version=\"1.0\"?><playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\">"
            "<trackList><track><location>../../m/b%20%C3%A9.mp3</location><title>Bee</title>"
            "<creator>C</creator><duration>2500</duration></track>\n<track><location/></track>"
            "</trackList></playlist>");
  writeFile(dir / "lists/Empty/notes.txt", "not a playlist");
  Library lib = LibraryReader().read(dir / "lists");
  EXPECT_EQ(outline(lib, dir.path()),
            "Old: Bee|C|2500|~/m/b \u00E9.mp3; Alpha|Art|61000|~/m/a.mp3;\n"
            "Road: Alpha|Art|61000|~/m/a.mp3; Bee|C|2500|~/m/b \u00E9.mp3;\n"
            "Sub/\n"
            "Sub/Deep: Alpha|Art|61000|~/m/a.mp3;\n"
            "Sub/Mix: Bee|C|2500|~/m/b \u00E9.mp3;\n");
  // One track per file; the first entry with a title gives it.
  EXPECT_EQ(lib.tracks.size(), 2u);
  EXPECT_EQ(lib.tracks[0].size, 4);            // "b é", the first entry of Old
  EXPECT_EQ(lib.itemsNamingMissingTrack, 2u);  // File2= and <location/>
  EXPECT_EQ(lib.itemsNamingTrackWithoutFile, 1u);
  ASSERT_EQ(lib.notes.size(), 2u);
  EXPECT_EQ(lib.notes[0], dir / "lists/Sub/Deep.pls" + ": line 2: the entry names no file.");
  EXPECT_EQ(lib.sourceKind, "playlist folder");
  EXPECT_EQ(lib.musicFolderSourcePath, m);
  EXPECT_EQ(lib.tracks[0].persistentId.view().size(), 16u);
}

TEST(PlaylistFolderReader, MusicDirFirstAndAFileThatCannotBeReadIsNamed) {
  testsupport::TempDir dir;
  writeMedia(dir);
  writeFile(dir / "mpd/x.m3u", "m/a.mp3\nmissing.mp3\n");
  writeFile(dir / "mpd/m/a.mp3", "beside the list, not in the music folder");
  Library lib = LibraryReader().withMusicDir(dir.path()).read(dir / "mpd");
  EXPECT_EQ(outline(lib, dir.path()), "x: a|||~/m/a.mp3; missing|||~/missing.mp3;\n");
  EXPECT_EQ(lib.musicFolderSourcePath, dir.path());
  // A folder without playlists, a playlist file alone and a malformed
  // playlist are named with what is wrong.
  for (auto [path, why] :
       {std::pair{dir / "m", "no playlist files"}, {dir / "mpd/x.m3u", "single"}})
    EXPECT_NE(LibraryReader().load(path).status().message().find(why), std::string::npos) << path;
  writeFile(dir / "mpd/bad.xspf", "<playlist>\n<trackList>\n<track></trackList>");
  try {
    LibraryReader().read(dir / "mpd");
    ADD_FAILURE() << "read a malformed playlist";
  } catch (const LibraryError& e) {
    EXPECT_EQ(e.file(), dir / "mpd/bad.xspf");
    EXPECT_EQ(e.line(), 3);
  }
}

TEST(RhythmboxReader, SongsStaticPlaylistsAndWhatIsNotExported) {
  testsupport::TempDir dir;
  writeMedia(dir);
  const std::string m = "file://" + dir / "m";
  auto song = [](const std::string& location, const std::string& title) {
    return "<entry type=\"song\"><title>" + title +
           "</title><artist>Art</artist><album>Alb</album>"
           "<duration>61</duration><file-size>3</file-size><location>" +
           location + "</location><mtime>1</mtime></entry>\n";
  };
  writeFile(dir / "rb/rhythmdb.xml",
            "<?xml version=\"1.0\" standalone=\"yes\"?>\n<rhythmdb version=\"2.0\">\n" +
                song(m + "/a.mp3", "Alpha &amp; more") + song(m + "/b%20%C3%A9.mp3", "Bee") +
                song("smb://nas/x.mp3", "Away") +
                "<entry type=\"iradio\"><title>Radio</title><location>http://r</location></entry>\n"
                "</rhythmdb>\n");
  writeFile(dir / "rb/playlists.xml",
            "<?xml version=\"1.0\"?>\n<rhythmdb-playlists>\n"
            "<playlist name=\"Road\" type=\"static\"><location>" +
                m +
                "/b%20%C3%A9.mp3</location>\n"
                "<location>" +
                m + "/a.mp3</location><location>" + m +
                "/c.mp3</location>\n"
                "<location>smb://nas/x.mp3</location><location></location></playlist>\n"
                "<playlist name=\"Top\" type=\"automatic\"><conjunction/></playlist>\n"
                "<playlist name=\"Play Queue\" type=\"queue\"><location>" +
                m +
                "/a.mp3</location></playlist>\n"
                "</rhythmdb-playlists>\n");
  Library lib = LibraryReader().read(dir / "rb/rhythmdb.xml");
  EXPECT_EQ(
      outline(lib, dir.path()),
      "Road: Bee|Art|61000|~/m/b \u00E9.mp3; Alpha & more|Art|61000|~/m/a.mp3; c|||~/m/c.mp3;\n"
      "Play Queue: Alpha & more|Art|61000|~/m/a.mp3;\n");
  EXPECT_EQ(lib.sourceKind, "Rhythmbox");
  EXPECT_FALSE(lib.playlists[1].exportedByDefault());
  ASSERT_EQ(lib.notExportable.size(), 1u);
  EXPECT_EQ(lib.notExportable[0].first, "Top");
  EXPECT_EQ((std::vector<size_t>{lib.tracksWithoutFile, lib.itemsNamingTrackWithoutFile,
                                 lib.itemsNamingMissingTrack}),
            (std::vector<size_t>{1, 1, 1}));
  EXPECT_EQ(lib.notes, std::vector<std::string>{dir / "rb/playlists.xml" +
                                                ": line 5: the entry names no file."});
  // The same file read from a folder of playlists is the same track.
  writeFile(dir / "lists/x.m3u8", dir / "m/a.mp3\n");
  EXPECT_EQ(LibraryReader().read(dir / "lists").tracks[0].persistentId.view(),
            lib.tracks[0].persistentId.view());
  // Broken XML is named with its line.
  writeFile(dir / "rb/playlists.xml",
            "<rhythmdb-playlists>\n<playlist name=\"x\" type=\"static\">\n");
  try {
    LibraryReader().read(dir / "rb/rhythmdb.xml");
    ADD_FAILURE() << "read a malformed playlists.xml";
  } catch (const LibraryError& e) {
    EXPECT_EQ(e.file(), dir / "rb/playlists.xml");
    EXPECT_GE(e.line(), 2);
  }
}

void runSql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << error;
  sqlite3_free(error);
  sqlite3_close(db);
}

TEST(PlayerDatabaseReader, StrawberryAndClementineAsTheirSchemasHoldThem) {
  // The tables and columns read, as each player's schema declares them
  // (Clementine's an older one, before items had a filename).
  struct Case {
    const char* kind;
    std::string schema, song, item;
    size_t notes;
    bool wal;  // readers are never locked out
  };
  const std::vector<Case> cases = {
      {"Strawberry",
       "PRAGMA journal_mode=WAL; CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT "
       "INTO schema_version VALUES "
       "(20);"
       "CREATE TABLE songs (title TEXT, album TEXT, artist TEXT, albumartist TEXT, length INTEGER "
       "NOT NULL DEFAULT 0, source INTEGER NOT NULL DEFAULT 0, url TEXT NOT NULL, filesize INTEGER "
       "NOT NULL DEFAULT -1, mtime INTEGER NOT NULL DEFAULT -1);"
       "CREATE TABLE playlists (name TEXT NOT NULL, ui_order INTEGER NOT NULL DEFAULT 0, ui_path "
       "TEXT);"
       "CREATE TABLE playlist_items (playlist INTEGER NOT NULL, type INTEGER NOT NULL DEFAULT 0, "
       "collection_id INTEGER, title TEXT, artist TEXT, album TEXT, length INTEGER, url TEXT NOT "
       "NULL);",
       "INSERT INTO songs (title, artist, length, filesize, url) VALUES ",
       "INSERT INTO playlist_items (playlist, collection_id, url) VALUES ", 2, true},
      {"Clementine",
       "CREATE TABLE schema_version (version INTEGER NOT NULL); INSERT INTO schema_version VALUES "
       "(99);"
       "CREATE TABLE songs (title TEXT, album TEXT, artist TEXT, albumartist TEXT, length INTEGER, "
       "directory INTEGER NOT NULL DEFAULT 1, filesize INTEGER NOT NULL, filename TEXT NOT NULL, "
       "mtime INTEGER NOT NULL DEFAULT 0, ctime INTEGER NOT NULL DEFAULT 0);"
       "CREATE TABLE playlists (name TEXT NOT NULL, ui_path TEXT);"
       "CREATE TABLE playlist_items (playlist INTEGER NOT NULL, type TEXT NOT NULL DEFAULT 'File', "
       "library_id INTEGER, url TEXT, title TEXT, artist TEXT, album TEXT, length INTEGER);",
       "INSERT INTO songs (title, artist, length, filesize, filename) VALUES ",
       "INSERT INTO playlist_items (playlist, library_id, url) VALUES ", 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    testsupport::TempDir dir;
    writeMedia(dir);
    const std::string m = "'file://" + dir / "m", db = dir / "db/library.db";
    std::filesystem::create_directories(dir / "db");
    runSql(db, c.schema + c.song + "('Alpha', 'Art', 61000000000, 3, " + m + "/a.mp3'), ('Bee', " +
                   "'Art', 2000000000, 4, " + m + "/b%20%C3%A9.mp3'), ('Radio', '', 0, -1, " +
                   "'http://radio.example/');" +
                   "INSERT INTO playlists (name, ui_path) VALUES ('Road', ''), ('Deep', 'Sub');" +
                   c.item + "(1, 2, ''), (1, 1, ''), (1, 3, ''), (1, 9, ''), (2, NULL, " + m +
                   "/a.mp3'), (2, NULL, '');");
    std::string before = testsupport::readFile(db);
    Library lib = LibraryReader().read(db);
    EXPECT_EQ(lib.sourceKind, c.kind);
    EXPECT_EQ(outline(lib, dir.path()),
              "Road: Bee|Art|2000|~/m/b \u00E9.mp3; Alpha|Art|61000|~/m/a.mp3;\n"
              "Sub/\n"
              "Sub/Deep: Alpha|Art|61000|~/m/a.mp3;\n");
    EXPECT_EQ((std::vector<size_t>{lib.tracks.size(), lib.tracksWithoutFile,
                                   lib.itemsNamingTrackWithoutFile, lib.itemsNamingMissingTrack}),
              (std::vector<size_t>{2, 1, 1, 2}));
    ASSERT_EQ(lib.notes.size(), c.notes);
    EXPECT_EQ(lib.notes[0],
              db + ": playlist_items row 4: names song 9, which the library does not hold.");
    EXPECT_EQ(lib.notes.back().find("schema version 99") != std::string::npos, c.notes == 3);
    // Read without writing: the file as it was, nothing beside it.
    EXPECT_EQ(testsupport::readFile(db), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "db"), {}), 1);
    // While the player writes, a WAL database is read as it was; another
    // is waited for, then named.
    sqlite3* player = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &player), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(player, "BEGIN EXCLUSIVE; INSERT INTO playlists (name) VALUES ('New')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    auto read = LibraryReader().load(db);
    EXPECT_EQ(read.ok(), c.wal) << read.status().message();
    if (read.ok()) {
      EXPECT_EQ(read->playlists.size(), lib.playlists.size());  // the snapshot before
    }
    EXPECT_EQ(read.status().message().find("the player is writing it") != std::string::npos,
              !c.wal);
    sqlite3_close(player);
  }
}

TEST(LibrarySource, TheUsualPlacesInOrderAndNotAnEmptyPlaylistFolder) {
  testsupport::TempDir home;
  std::filesystem::create_directories(home / "Music/Playlists");
  writeFile(home / ".local/share/mpd/playlists/x.m3u", "a.mp3\n");
  EXPECT_EQ(LibraryReader::defaultExport(home.path()), home / ".local/share/mpd/playlists");
  writeFile(home / ".config/Clementine/clementine.db", "");
  EXPECT_EQ(LibraryReader::defaultExport(home.path()), home / ".config/Clementine/clementine.db");
  writeFile(home / "Music/Library.xml", "");
  EXPECT_EQ(LibraryReader::defaultExport(home.path()), home / "Music/Library.xml");
}

}  // namespace
}  // namespace app
