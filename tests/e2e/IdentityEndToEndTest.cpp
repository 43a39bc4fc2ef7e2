// The drive knows its files by the track they hold. Each case exports a
// small library with the real program, changes the library or the drive
// as users and their machines do, exports again, and then checks that
// every playlist file still plays its tracks: entry by entry, the file it
// names holds that track's source bytes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "fs/ContentHash.h"
#include "fs/DestinationRoot.h"
#include "fs/DriveRecord.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;

namespace {

struct Track {
  std::string id, title, folder, bytes;
  std::string location = {};  // the file the library names, when not its own source
  bool listed = true;         // in the playlist
  bool picked = false;        // in a second playlist, "Pick"
};

// A library without a media folder, so that tracks named alike in one
// album meet on the drive ("Artist/Album/Track01.mp3", "... (2).mp3").
void writeLibrary(const testsupport::TempDir& dir, const std::vector<Track>& tracks,
                  const std::string& library = "L1") {
  std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>Library Persistent ID</key><string>)" +
                    library + "</string><key>Tracks</key><dict>";
  std::string items, picks;
  int n = 0;
  for (const Track& t : tracks) {
    std::string file = dir / ("src/" + t.folder + "/" + t.title + ".mp3");
    if (!t.location.empty()) {
      file = t.location;
    } else if (!stdfs::exists(file)) {
      testsupport::writeFile(file, t.bytes);
    }
    std::string number = std::to_string(++n);
    xml += "<key>" + number + "</key><dict><key>Track ID</key><integer>" + number +
           "</integer><key>Persistent ID</key><string>" + t.id +
           "</string><key>Name</key><string>" + t.title +
           "</string><key>Artist</key><string>A</string><key>Album</key><string>B</string>"
           "<key>Location</key><string>file://" +
           file + "</string></dict>";
    std::string item = "<dict><key>Track ID</key><integer>" + number + "</integer></dict>";
    if (t.listed) items += item;
    if (t.picked) picks += item;
  }
  xml +=
      "</dict><key>Playlists</key><array><dict><key>Name</key><string>Mix</string>"
      "<key>Playlist Persistent ID</key><string>P1</string><key>Playlist Items</key><array>" +
      items + "</array></dict>" +
      (picks.empty() ? std::string()
                     : "<dict><key>Name</key><string>Pick</string><key>Playlist Persistent "
                       "ID</key><string>P2</string><key>Playlist Items</key><array>" +
                           picks + "</array></dict>") +
      "</array></dict></plist>";
  testsupport::writeFile(dir / "Library.xml", xml);
}

int exportTo(const testsupport::TempDir& dir) {
  std::string command = "'" TESSALINE_EXECUTABLE "' export --library '" + dir / "Library.xml" +
                        "' --to '" + dir / "drive" + "' --yes --quiet 2>&1";
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The bytes each entry of the playlist file plays, in order.
std::vector<std::string> played(const testsupport::TempDir& dir,
                                const std::string& file = "Mix.m3u8") {
  std::ifstream in(dir / ("drive/Playlists/" + file));
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#')
      out.push_back(testsupport::readFile(dir / ("drive/Playlists/" + line)));
  }
  return out;
}

void shiftTimes(const std::string& folder, int seconds) {
  for (const auto& e : stdfs::recursive_directory_iterator(folder)) {
    struct stat st;
    if (!e.is_regular_file() || stat(e.path().c_str(), &st) != 0) continue;
    timespec times[2] = {st.st_atim, st.st_mtim};
    times[1].tv_sec += seconds;
    utimensat(AT_FDCWD, e.path().c_str(), times, 0);
  }
}

}  // namespace

TEST(IdentityEndToEnd, EveryEntryPlaysItsOwnTrackWhateverChangedBetweenExports) {
  const Track one{"T1", "Track01", "disc1", "the first disc's track01"};
  const Track two{"T2", "Track01", "disc2", "the second disc's track01, longer"};
  const Track three{"T3", "Other", "disc1", "another track"};
  struct Case {
    const char* what;
    std::vector<Track> before, after;
    std::function<void(const testsupport::TempDir&)> between;
    std::string library = "L1";  // after
  };
  auto renamed = [](Track t) {
    t.id = "N" + t.id;
    return t;
  };
  const std::vector<Case> cases = {
      {"the first of two tracks named alike leaves the library",
       {one, two, three},
       {two, three},
       [](auto&) {}},
      {"the library lists its tracks in another order",
       {one, two, three},
       {two, one, three},
       [](auto&) {}},
      {"a copy on the drive was cut short",
       {one, two, three},
       {one, two, three},
       [](auto& dir) { stdfs::resize_file(dir / "drive/Music/A/B/Track01.mp3", 5); }},
      {"a source was re-encoded",
       {one, two, three},
       {one, two, three},
       [](auto& dir) {
         testsupport::writeFile(dir / "src/disc1/Other.mp3", "re-encoded, longer");
       }},
      {"the drive's clock moved an hour (FAT keeps local time)",
       {one, two, three},
       {one, two, three},
       [](auto& dir) { shiftTimes(dir / "drive/Music", 3600); }},
      {"the library was rebuilt with new persistent IDs",
       {one, two, three},
       {renamed(one), renamed(two), renamed(three)},
       [](auto&) {},
       "L2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDir dir;
    stdfs::create_directories(dir / "drive");
    writeLibrary(dir, c.before);
    ASSERT_EQ(exportTo(dir), 0);
    c.between(dir);
    writeLibrary(dir, c.after, c.library);
    ASSERT_EQ(exportTo(dir), 0);
    // Nothing went on the drive twice.
    size_t files = 0;
    for (const auto& e : stdfs::recursive_directory_iterator(dir / "drive/Music"))
      files += e.is_regular_file();
    EXPECT_EQ(files, c.after.size());
    std::vector<std::string> want;
    for (const Track& t : c.after)
      want.push_back(testsupport::readFile(dir / ("src/" + t.folder + "/" + t.title + ".mp3")));
    EXPECT_EQ(played(dir), want);
  }
}

// A file of the user's put at a name the exporter's record knows is the
// user's: when it is no longer needed, the clean-up keeps it.
TEST(IdentityEndToEnd, AFileOfTheUsersAtARecordedNameIsKept) {
  testsupport::TempDir dir;
  stdfs::create_directories(dir / "drive");
  const Track one{"T1", "Track01", "disc1", "the exporter's copy"};
  const Track two{"T2", "Other", "disc1", "another track"};
  writeLibrary(dir, {one, two});
  ASSERT_EQ(exportTo(dir), 0);
  const std::string at = dir / "drive/Music/A/B/Track01.mp3";
  stdfs::remove(at);
  testsupport::writeFile(at, "the user's own recording");
  writeLibrary(dir, {two});
  ASSERT_EQ(exportTo(dir), 0);
  EXPECT_EQ(testsupport::readFile(at), "the user's own recording");
  // and the clean-up keeps it as the user's.
  std::string command = "'" TESSALINE_EXECUTABLE "' export --library '" + dir / "Library.xml" +
                        "' --to '" + dir / "drive" + "' --dry-run";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  pclose(pipe);
  // (The export that kept it told the record it is the user's now.)
  EXPECT_NE(out.find("not written by the exporter (--clean-all deletes them too):\n"
                     "  Music/A/B/Track01.mp3\n"),
            std::string::npos)
      << out;

  // At the name of a track still exported, a file of the user's is not
  // taken for a damaged copy: it stays, and the track goes beside it.
  const std::string other = dir / "drive/Music/A/B/Other.mp3";
  testsupport::writeFile(other, "the user's own, longer than the copy was");
  EXPECT_EQ(exportTo(dir), 0);
  EXPECT_EQ(testsupport::readFile(other), "the user's own, longer than the copy was");
  EXPECT_EQ(testsupport::readFile(dir / "drive/Music/A/B/Other (2).mp3"), "another track");
}

// Random sequences of library edits (tracks added, removed, reordered,
// re-encoded, moved in and out of a second playlist, the whole library
// rebuilt with new IDs), each followed by an export: after every export,
// every entry of every playlist plays its own track.
TEST(IdentityEndToEnd, RandomEditsNeverSwapOrLoseATrack) {
  const char* titles[] = {"Track01", "Track02", "Intro"};
  const char* folders[] = {"disc1", "disc2", "disc3"};
  for (unsigned seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    testsupport::TempDir dir;
    stdfs::create_directories(dir / "drive");
    std::vector<Track> tracks;
    std::string library = "L1";
    int made = 0, version = 0;
    auto add = [&] {
      Track t{"T" + std::to_string(++made), titles[below(3)], folders[below(3)], ""};
      for (const Track& o : tracks)
        if (o.title == t.title && o.folder == t.folder) return;
      t.bytes = "track " + t.id + std::string(below(20), '.');
      tracks.push_back(t);
    };
    for (int i = 0; i < 5; ++i) add();
    for (int step = 0; step < 8; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      writeLibrary(dir, tracks, library);
      ASSERT_EQ(exportTo(dir), 0);
      std::vector<std::string> want;
      for (const Track& t : tracks)
        want.push_back(testsupport::readFile(dir / ("src/" + t.folder + "/" + t.title + ".mp3")));
      ASSERT_EQ(played(dir), want);
      std::vector<std::string> picked;
      for (const Track& t : tracks)
        if (t.picked)
          picked.push_back(
              testsupport::readFile(dir / ("src/" + t.folder + "/" + t.title + ".mp3")));
      if (!picked.empty()) {
        ASSERT_EQ(played(dir, "Pick.m3u8"), picked);
      }
      switch (below(6)) {
        case 0:
          add();
          break;
        case 1:
          if (tracks.size() > 1)
            tracks.erase(tracks.begin() + static_cast<long>(below(tracks.size())));
          break;
        case 2:
          std::shuffle(tracks.begin(), tracks.end(), rng);
          break;
        case 3: {  // re-encoded: other bytes, other size
          const Track& t = tracks[below(tracks.size())];
          testsupport::writeFile(
              dir / ("src/" + t.folder + "/" + t.title + ".mp3"),
              "version " + std::to_string(++version) + std::string(below(9), '+'));
          break;
        }
        case 5: {  // a track goes into, or out of, the second playlist
          Track& t = tracks[below(tracks.size())];
          t.picked = !t.picked;
          break;
        }
        case 4:  // rebuilt: every track and the library get new IDs
          for (Track& t : tracks) t.id = "R" + std::to_string(step) + t.id;
          library = "L" + std::to_string(step + 2);
          break;
      }
    }
  }
}

// What the clean-up takes is the exporter's own: a folder of the user's,
// empty or not, stays unless everything stale goes (--clean-all), and a
// report never calls the user's files the exporter's.
TEST(IdentityEndToEnd, TheUsersFoldersAndFilesAreTheirsInEveryReport) {
  for (bool all : {false, true}) {
    SCOPED_TRACE(all ? "--clean-all" : "the exporter's own only");
    testsupport::TempDir dir;
    stdfs::create_directories(dir / "drive/Music/To sort later/2024");
    testsupport::writeFile(dir / "drive/Music/Mine/demo.wav", "mine");
    writeLibrary(dir, {{"T1", "Intro", "disc1", "intro"}});
    ASSERT_EQ(exportTo(dir), 0);
    std::string command = "'" TESSALINE_EXECUTABLE "' export --library '" + dir / "Library.xml" +
                          "' --to '" + dir / "drive" + "' --yes --json" +
                          (all ? " --clean-all" : "") + " --dry-run";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    pclose(pipe);
    size_t listed = 0;
    for (size_t at = out.find("\"writtenByExporter\": true"); at != std::string::npos;
         at = out.find("\"writtenByExporter\": true", at + 1))
      ++listed;
    EXPECT_EQ(listed, 0u) << out;
    ASSERT_EQ(exportTo(dir), 0);
    if (all) continue;  // --clean-all was only looked at: nothing went
    EXPECT_TRUE(stdfs::exists(dir / "drive/Music/To sort later/2024"));
    EXPECT_TRUE(stdfs::exists(dir / "drive/Music/Mine/demo.wav"));
  }
}

// A playlist file of the user's at a playlist's name is never replaced:
// the exporter's goes beside it, and stays there.
TEST(IdentityEndToEnd, APlaylistFileOfTheUsersIsNeverReplaced) {
  testsupport::TempDir dir;
  const std::string mine = "#EXTM3U\nmy own order\n";
  testsupport::writeFile(dir / "drive/Playlists/Mix.m3u8", mine);
  writeLibrary(dir, {{"T1", "Intro", "disc1", "intro"}});
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(exportTo(dir), 0);
    EXPECT_EQ(testsupport::readFile(dir / "drive/Playlists/Mix.m3u8"), mine);
    EXPECT_EQ(played(dir, "Mix (2).m3u8"), std::vector<std::string>{"intro"});
    EXPECT_FALSE(stdfs::exists(dir / "drive/Playlists/Mix (3).m3u8"));
  }
}

// A track whose only file is the exporter's copy on the drive, named
// through a link to the drive or with "//" and "/./" in its location: no
// clean-up runs, so that copy is never taken for a stale one.
TEST(IdentityEndToEnd, ATracksOnlyFileOnTheDriveIsNeverStale) {
  for (const char* how : {"link", "//", "/./"}) {
    SCOPED_TRACE(how);
    testsupport::TempDir dir;
    stdfs::create_directories(dir / "drive");
    stdfs::create_symlink(dir / "drive", dir / "link");
    const Track intro{"T1", "Intro", "disc1", "intro"}, other{"T2", "Other", "disc1", "other"};
    writeLibrary(dir, {intro, other});
    ASSERT_EQ(exportTo(dir), 0);
    const std::string copy = "Music/A/B/Other.mp3";
    std::string at = std::string(how) == "link" ? dir / ("link/" + copy)
                     : std::string(how) == "//" ? dir.path() + "//drive/" + copy
                                                : dir.path() + "/./drive/" + copy;
    Track moved = other;
    moved.location = at;
    moved.listed = false;
    writeLibrary(dir, {intro, moved});
    exportTo(dir);
    EXPECT_EQ(testsupport::readFile(dir / ("drive/" + copy)), "other");
  }
}

// An export of one playlist with a clean-up never takes another
// playlist's tracks: every playlist file the exporter keeps still plays.
TEST(IdentityEndToEnd, OnePlaylistWithACleanUpLeavesTheOthersWhole) {
  testsupport::TempDir dir;
  ASSERT_EQ(std::system(("python3 '" TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py' '" +
                         dir / "lib' >/dev/null")
                            .c_str()),
            0);
  stdfs::create_directories(dir / "drive");
  std::string tessaline = "'" TESSALINE_EXECUTABLE "' export --library '" +
                          dir / "lib/Library.xml" + "' --to '" + dir / "drive" + "' --yes --quiet";
  ASSERT_EQ(std::system(tessaline.c_str()), 0);
  ASSERT_EQ(std::system((tessaline + " --playlist Sunday --clean").c_str()), 0);
  size_t entries = 0;
  for (const auto& e : stdfs::directory_iterator(dir / "drive/Playlists")) {
    std::ifstream in(e.path());
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      ++entries;
      EXPECT_TRUE(stdfs::exists(dir / ("drive/Playlists/" + line))) << e.path() << ": " << line;
    }
  }
  EXPECT_EQ(entries, 21u);  // all but the one unchecked track, never copied
}

// The exporter's own files are written only as the drive's own: after a
// `cp -al` snapshot of the drive the snapshot's copies stay as they were,
// and a FIFO put in the record's place is refused, not waited on.
TEST(IdentityEndToEnd, OwnFilesAreNeverWrittenThroughALinkOrAFifo) {
  testsupport::TempDir dir;
  stdfs::create_directories(dir / "drive");
  writeLibrary(dir, {{"T1", "Intro", "disc1", "intro"}});
  ASSERT_EQ(exportTo(dir), 0);
  ASSERT_EQ(std::system(("cp -al '" + dir / "drive' '" + dir / "snapshot'").c_str()), 0);
  std::map<std::string, std::string> before;
  for (const auto& e : stdfs::directory_iterator(dir / "snapshot/.tessaline"))
    before[e.path()] = testsupport::readFile(e.path());
  writeLibrary(dir, {{"T1", "Intro", "disc1", "intro"}, {"T2", "Other", "disc1", "other"}});
  ASSERT_EQ(exportTo(dir), 0);
  for (const auto& [path, bytes] : before) EXPECT_EQ(testsupport::readFile(path), bytes) << path;
  EXPECT_EQ(played(dir), (std::vector<std::string>{"intro", "other"}));

  stdfs::remove(dir / "drive/.tessaline/written");
  ASSERT_EQ(mkfifo((dir / "drive/.tessaline/written").c_str(), 0644), 0);
  std::string dry = "timeout -k 5 20 '" TESSALINE_EXECUTABLE "' export --library '" +
                    dir / "Library.xml" + "' --to '" + dir / "drive" +
                    "' --dry-run >/dev/null 2>&1";
  int status = std::system(dry.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
}

// Each copy is recorded with the checksum of what was written, and each
// folder the exporter made as its own: a folder the user made before,
// which the exporter only put files in, stays when those files go.
TEST(IdentityEndToEnd, TheRecordKnowsEachCopysChecksumAndOnlyTheFoldersItMade) {
  testsupport::TempDir dir;
  stdfs::create_directories(dir / "drive/Music/A");
  writeLibrary(dir, {{"T1", "Intro", "d1", "intro"}, {"T2", "Outro", "d1", "outro"}});
  ASSERT_EQ(exportTo(dir), 0);
  auto root = fs::DestinationRoot::open(dir / "drive");
  auto record = fs::DriveRecord::load(*root, {});
  ASSERT_TRUE(record.ok()) << record.status().message();
  std::map<std::string, fs::EntryKind> kinds;
  for (const auto& [key, e] : record->entries) {
    kinds[e.path] = e.kind;
    if (e.kind != fs::EntryKind::kTrack) continue;
    std::string bytes = testsupport::readFile(dir / ("drive/" + e.path));
    fs::ContentHash hash;
    hash.update(bytes.data(), bytes.size());
    EXPECT_EQ(e.checksum, hash.digest()) << e.path;
  }
  EXPECT_EQ(kinds.count("Music/A"), 0u);
  EXPECT_EQ(kinds["Music/A/B"], fs::EntryKind::kFolder);
  writeLibrary(dir, {{"T1", "Intro", "d1", "intro", {}, false}});
  ASSERT_EQ(exportTo(dir), 0);
  EXPECT_FALSE(stdfs::exists(dir / "drive/Music/A/B"));
  EXPECT_TRUE(stdfs::is_directory(dir / "drive/Music/A"));
}

// A cover image the user put in place of the exporter's is theirs: it
// stays when the album's tracks go, and so does its folder.
TEST(IdentityEndToEnd, ACoverOfTheUsersKeepsItsAlbumFolder) {
  testsupport::TempDir dir;
  stdfs::create_directories(dir / "drive");
  testsupport::writeFile(dir / "src/d1/folder.jpg", "the library's cover");
  writeLibrary(dir, {{"T1", "Intro", "d1", "intro"}});
  ASSERT_EQ(exportTo(dir), 0);
  ASSERT_TRUE(stdfs::exists(dir / "drive/Music/A/B/folder.jpg"));
  testsupport::writeFile(dir / "drive/Music/A/B/folder.jpg", "the user's own cover");
  writeLibrary(dir, {{"T1", "Intro", "d1", "intro", {}, false}});
  exportTo(dir);
  EXPECT_FALSE(stdfs::exists(dir / "drive/Music/A/B/Intro.mp3"));
  EXPECT_EQ(testsupport::readFile(dir / "drive/Music/A/B/folder.jpg"), "the user's own cover");
}
