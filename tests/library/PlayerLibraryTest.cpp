// The libraries Linux players keep, and folders of playlists, read into
// the same record as the XML export: each written here as its player
// writes it.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace app
