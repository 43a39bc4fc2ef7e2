// Playlist files: their exact bytes and the generation run.
#include <chrono>

#include "compat/export/CThreadPlaylistGenerator.h"
#include "compat/export/ExportFixture.h"

using catalogue::CTrack;
using catalogue::CTrackList;
using exporter::CThreadPlaylistGenerator;
using testsupport::loadFull;

class PlaylistFileThreaded : public testsupport::ExportTest {
 protected:
  CTrackList::Ptr playlist(const std::string& id, const std::string& name,
                           const std::vector<testsupport::TrackSpec>& tracks) {
    auto list = loadFull(id, true, tracks);
    list->setPlaylistFileName(name);
    return list;
  }
  std::string folder() const { return drive("Playlists"); }
};

TEST_F(PlaylistFileThreaded, ExactBytesOfAPlaylist) {
  CTrack::setDestinationBasePath(drive() + "/");
  auto list = loadFull("P", true, {});
  catalogue::Values ids{"1", "2", "1"};
  list->loadTrackListForTrackIDs(ids, {true, false, true}, {"/s/1", "/s/2", "/s/1"},
                                 {"Björk/Homogenic/01 Hunter.m4a", "AC/DC/b.mp3", "x"},
                                 {"Hunter", "Tĥe Song", "y"}, {"Björk", "AC-DC", "z"},
                                 {"255", "61", "9"});
  list->setPlaylistFileName("Mix");
  list->doGeneratePlaylistinFolder(folder());
  // Paths name the files as they were written; texts stand as given.
  std::string expected = "#EXTM3U\n#EXTINF:255,Björk - Hunter\n" + drive() +
                         "/Björk/Homogenic/01 Hunter.m4a\n" + "#EXTINF:61,AC-DC - Tĥe Song\n" +
                         drive() + "/AC/DC/b.mp3\n" + "#EXTINF:255,Björk - Hunter\n" + drive() +
                         "/Björk/Homogenic/01 Hunter.m4a";
  EXPECT_EQ(readFile(folder() + "/Mix.m3u8"), expected);
}

TEST_F(PlaylistFileThreaded, EmptyPlaylistAndEmptyNameAndReplacedFile) {
  CTrack::setDestinationBasePath(drive());
  playlist("P", "", {});
  writeFile(folder() + "/.m3u8", 100, 'z');
  CTrackList::trackListForUniqueID("P")->doGeneratePlaylistinFolder(folder());
  EXPECT_EQ(readFile(folder() + "/.m3u8"), "#EXTM3U");
}

TEST_F(PlaylistFileThreaded, NameThatWouldLeaveTheFolderIsRefused) {
  CTrack::setDestinationBasePath(drive());
  for (const char* bad : {"../escape", "a/b", ".."}) {
    auto list = playlist("P", bad, {});
    base::LogCapture log;
    list->doGeneratePlaylistinFolder(folder());
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               std::string("doGeneratePlaylistinFolder refused the file name “") +
                               bad + "” of playlist P: it would leave the folder"});
  }
  EXPECT_FALSE(std::filesystem::exists(drive("escape.m3u8")));
  EXPECT_FALSE(std::filesystem::exists(drive("Playlists/a")));
}

TEST_F(PlaylistFileThreaded, WriteFailureIsLoggedAndTheRunGoesOn) {
  CTrack::setDestinationBasePath(drive());
  playlist("A", "Blocked", {source("T", 1)});
  playlist("B", "Fine", {source("U", 1)});
  std::filesystem::create_directories(folder() + "/Blocked.m3u8/inside");
  base::LogCapture log;
  auto generator =
      CThreadPlaylistGenerator::CThreadPlaylistGeneratorForUniqueIDs({"A", "nope", "B"}, folder());
  generator->waitUntilFinished();
  EXPECT_EQ(generator->playlistState(), 2);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("doGeneratePlaylistinFolder write error: ", 0), 0u)
      << log.lines()[0];
  EXPECT_TRUE(std::filesystem::exists(folder() + "/Blocked.m3u8/inside"));
  EXPECT_EQ(readFile(folder() + "/Fine.m3u8"),
            "#EXTM3U\n#EXTINF:180,Artist U - Title U\n" + drive("Artist/U.mp3"));
}

TEST_F(PlaylistFileThreaded, NoDestinationRootEndsThatPlaylistOnly) {
  playlist("A", "A", {source("T", 1)});
  for (const std::optional<std::string>& root :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    SCOPED_TRACE(root ? "empty root" : "no root");
    CTrack::setDestinationBasePath(root);
    base::LogCapture log;
    auto generator =
        CThreadPlaylistGenerator::CThreadPlaylistGeneratorForUniqueIDs({"A"}, folder());
    generator->waitUntilFinished();
    EXPECT_EQ(generator->playlistState(), 2);
    EXPECT_EQ(
        log.lines(),
        std::vector<std::string>{
            "exeception in individual playlist generation Exception: NSInvalidArgumentException "
            "Reason: track T has no destination path: no destination folder is set"});
    EXPECT_FALSE(std::filesystem::exists(folder() + "/A.m3u8"));
  }
}

// A player reads one entry per line: texts must not break the line, and
// a path that cannot stand on one line, or leaves the root, is left out.
TEST_F(PlaylistFileThreaded, TextsAndPathsCannotAddEntries) {
  CTrack::setDestinationBasePath(drive());
  auto list = loadFull("P", true, {});
  catalogue::Values ids{"1", "2", "3", "4", "5"};
  catalogue::Texts x(5, "x");
  list->loadTrackListForTrackIDs(
      ids, {true, true, true, true, true}, x,
      {"a.mp3", "../up.mp3", "b\n/etc/passwd.mp3", "c\r.mp3", "d/../../e.mp3"},
      {"Here Comes\n/etc/passwd\nthe Sun", "x", "x", "x", "x"},
      {std::string("The\tBeat\0les\x7f\r\n", 15), "x", "x", "x", "x"},
      {"1\0372", "x", "x", "x", "x"});
  base::LogCapture log;
  EXPECT_EQ(
      list->playlistFileText(),
      "#EXTM3U\n#EXTINF:1 2,The Beat les    - Here Comes /etc/passwd the Sun\n" + drive("a.mp3"));
  std::vector<std::string> expected;
  const std::pair<const char*, const char*> leftOut[] = {
      {"2", "../up.mp3"}, {"3", "b\n/etc/passwd.mp3"}, {"4", "c\r.mp3"}, {"5", "d/../../e.mp3"}};
  for (auto [id, rel] : leftOut) {
    expected.push_back(std::string("playlist file of P leaves out track ") + id +
                       ": its destination path “" + rel + "” cannot be listed");
  }
  EXPECT_EQ(log.lines(), expected);
}

TEST_F(PlaylistFileThreaded, EmptyArrayStartsNothing) {
  auto generator = CThreadPlaylistGenerator::CThreadPlaylistGeneratorForUniqueIDs({}, folder());
  EXPECT_EQ(generator->playlistState(), 0);
  EXPECT_EQ(generator->playlistPath(), folder());
}
