// A library of each kind Linux players keep, exported with the real
// program, then moved with its media to another folder (new paths, so new
// identities) and exported again: the copies already on the drive are
// taken over, not copied again, and every entry plays its track.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "support/TempDir.h"

namespace stdfs = std::filesystem;
using testsupport::writeFile;

namespace {

int exportTo(const std::string& library, const std::string& drive) {
  std::string command = "'" TESSALINE_EXECUTABLE "' export --library '" + library + "' --to '" +
                        drive + "' --yes --quiet >/dev/null 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The drive's track files by inode: a copy taken over keeps its inode.
std::map<std::string, ino_t> copiesOn(const std::string& drive) {
  std::map<std::string, ino_t> out;
  for (const auto& e : stdfs::recursive_directory_iterator(drive + "/Music")) {
    struct stat st {};
    if (e.is_regular_file() && ::stat(e.path().c_str(), &st) == 0) out[e.path()] = st.st_ino;
  }
  return out;
}

std::vector<std::string> played(const std::string& drive, const std::string& list) {
  std::ifstream in(drive + "/Playlists/" + list);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#')
      out.push_back(testsupport::readFile(drive + "/Playlists/" + line));
  return out;
}

// A player's database, as `schema` declares its tables, holding the two
// tracks and the playlist "Mix" of both.
std::string database(const std::string& file, const std::string& schema, const std::string& home) {
  stdfs::remove(file);
  stdfs::create_directories(stdfs::path(file).parent_path());
  std::string sql = schema + "INSERT INTO songs VALUES ('file://" + home + "/m/a.mp3'), ('file://" +
                    home + "/m/b.mp3'); INSERT INTO playlists VALUES ('Mix');" +
                    "INSERT INTO playlist_items VALUES (1, 1), (1, 2);";
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  return file;
}

}  // namespace

TEST(PlayerLibraryEndToEnd, EachKindExportsAndKeepsItsCopiesWhenMoved) {
  struct Kind {
    const char* name;
    // Writes the library for media in home/m; returns what --library takes.
    std::function<std::string(const std::string& home)> write;
  };
  const std::vector<Kind> kinds = {
      {"playlist folder",
       [](const std::string& home) {
         writeFile(home + "/lists/Mix.m3u8", "../m/a.mp3\n#EXTINF:2,B - Bee\n../m/b.mp3\n");
         return home + "/lists";
       }},
      {"Rhythmbox",
       [](const std::string& home) {
         std::string songs, items;
         for (const char* f : {"a", "b"}) {
           std::string at = "file://" + home + "/m/" + f + ".mp3";
           songs += "<entry type=\"song\"><title>" + std::string(f) + "</title><location>" + at +
                    "</location></entry>";
           items += "<location>" + at + "</location>";
         }
         writeFile(home + "/rb/rhythmdb.xml", "<rhythmdb version=\"2.0\">" + songs + "</rhythmdb>");
         writeFile(home + "/rb/playlists.xml",
                   "<rhythmdb-playlists><playlist name=\"Mix\" "
                   "type=\"static\">" +
                       items + "</playlist></rhythmdb-playlists>");
         return home + "/rb/rhythmdb.xml";
       }},
      {"Strawberry",
       [](const std::string& home) {
         return database(home + "/strawberry.db",
                         "CREATE TABLE songs (url TEXT NOT NULL); CREATE TABLE playlists (name "
                         "TEXT NOT NULL); CREATE TABLE playlist_items (playlist INTEGER NOT "
                         "NULL, collection_id INTEGER);",
                         home);
       }},
      {"Clementine",
       [](const std::string& home) {
         return database(home + "/clementine.db",
                         "CREATE TABLE songs (filename TEXT NOT NULL); CREATE TABLE playlists "
                         "(name TEXT NOT NULL); CREATE TABLE playlist_items (playlist INTEGER "
                         "NOT NULL, library_id INTEGER);",
                         home);
       }},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    testsupport::TempDir dir;
    const std::string drive = dir / "drive";
    stdfs::create_directories(drive);
    writeFile(dir / "one/m/a.mp3", "the first track");
    writeFile(dir / "one/m/b.mp3", "the second track, longer");
    ASSERT_EQ(exportTo(kind.write(dir / "one"), drive), 0);
    const std::vector<std::string> want = {"the first track", "the second track, longer"};
    EXPECT_EQ(played(drive, "Mix.m3u8"), want);
    auto before = copiesOn(drive);
    ASSERT_EQ(before.size(), 2u);
    stdfs::rename(dir / "one", dir / "two");
    ASSERT_EQ(exportTo(kind.write(dir / "two"), drive), 0);
    EXPECT_EQ(copiesOn(drive), before);
    EXPECT_EQ(played(drive, "Mix.m3u8"), want);
  }
}
