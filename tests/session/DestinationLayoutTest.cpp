#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>

#include "base/Unicode.h"
#include "session/DestinationLayout.h"
#include "session/StaleWalk.h"
#include "support/Fixtures.h"

namespace app {
namespace {

// A track's fields view text that lives as long as the test program.
LibraryTrack track(const std::string& location, const std::string& artist = "",
                   const std::string& album = "", const std::string& albumArtist = "") {
  static LibraryText text;
  LibraryTrack t;
  t.location = text.add(location);
  t.artist = text.add(artist);
  t.album = text.add(album);
  t.albumArtist = text.add(albumArtist);
  return t;
}

size_t utf16Units(const std::string& s) {
  size_t units = 0;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    units += len == 4 ? 2 : 1;
    i += len;
  }
  return units;
}

TEST(DestinationLayoutComponents, UnsafeNamesAreCleaned) {
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      // Reserved and unstorable characters.
      {"AC/DC: Live?", "AC_DC_ Live_"}, {"Don\u2019t \u201CStop\u201D", "Don't _Stop_"},
      {"tab\there\x01\x7F", "tab_here__"}, {"bad\xFF\xFEutf8", "bad__utf8"},
      {"Caf\u00E9 & Bar!", "Caf\u00E9 & Bar!"}, {"Cafe\u0301", "Caf\u00E9"},
      // What players read in a URI goes; what is only a character stays.
      {"$hits; it's #1 50%", "$hits; it's _1 50_"},
      // Never empty, dots, hidden or trailing junk.
      {"", "_"}, {".", "_"}, {"..", "_"}, {"Etc. . ", "Etc"}, {"...And More", "And More"},
      // Reserved device names.
      {"CON", "_CON"}, {"nul.mp3", "_nul.mp3"}, {"Com1", "_Com1"}, {"LPT9.txt", "_LPT9.txt"},
      {"CONSOLE", "CONSOLE"}, {"COM10", "COM10"},
  };
  // clang-format on
  for (const auto& [name, want] : cases) {
    EXPECT_EQ(DestinationLayout::safeComponent(name), want) << name;
  }
}

TEST(DestinationLayoutComponents, LongNamesKeepTheirExtensionAndWholeCharacters) {
  std::string longAscii(300, 'a');
  std::string cut = DestinationLayout::safeComponent(longAscii + ".flac");
  EXPECT_EQ(cut.size(), 255u);
  EXPECT_EQ(cut.substr(cut.size() - 5), ".flac");

  // "q" + combining acute (none composed), 3 bytes a letter: the cut
  // never splits a letter.
  std::string accented;
  for (int i = 0; i < 120; ++i) accented += "q\xCC\x81";
  cut = DestinationLayout::safeComponent(accented + ".mp3");
  EXPECT_LE(cut.size(), 255u);
  EXPECT_LE(utf16Units(cut), 255u);
  EXPECT_TRUE(base::unicode::isValidUtf8(cut));
  EXPECT_EQ(cut.substr(cut.size() - 4), ".mp3");
  EXPECT_EQ(cut.substr(cut.size() - 7, 3), "q\xCC\x81");

  // A shortened name must not end in a blank or dot before its extension.
  std::string spaced = std::string(250, 'b') + "   . x.ogg";
  cut = DestinationLayout::safeComponent(std::string(251, 'c') + "    .ogg");
  EXPECT_EQ(cut, std::string(251, 'c') + ".ogg");
  EXPECT_LE(DestinationLayout::safeComponent(spaced).size(), 255u);

  // Room is kept for the caller's ending.
  EXPECT_EQ(DestinationLayout::safeComponent(longAscii, 5).size(), 250u);
}

TEST(DestinationLayoutTracks, KeepsTheLibraryFoldersBelowTheMediaFolder) {
  DestinationLayout layout("/Users/me/Music/iTunes/iTunes Media/");
  EXPECT_EQ(layout.trackPath(track("/Users/me/Music/iTunes/iTunes Media/Music/ABBA/Gold/01 Dancing "
                                   "Queen.m4a",
                                   "ABBA", "Gold")),
            "Music/ABBA/Gold/01 Dancing Queen.m4a");
  // Outside the media folder: album artist (else artist), album, file name.
  EXPECT_EQ(layout.trackPath(track("/Volumes/Ext/x/y/03 Song.mp3", "Guest", "Best: Of", "Band")),
            "Music/Band/Best_ Of/03 Song.mp3");
  EXPECT_EQ(layout.trackPath(track("/Volumes/Ext/z.mp3")),
            "Music/Unknown Artist/Unknown Album/z.mp3");
}

TEST(DestinationLayoutTracks, WindowsMediaFolderMatchesWithoutRegardToCase) {
  DestinationLayout layout("C:/Users/Me/Music/iTunes/iTunes Media/");
  EXPECT_EQ(layout.trackPath(track("c:/users/me/music/iTunes/iTunes Media/Music/A/B/c.mp3")),
            "Music/A/B/c.mp3");
}

TEST(DestinationLayoutTracks, PathsNeverClimbOutOfTheRoot) {
  DestinationLayout layout("/Users/me/Music");
  std::string p = layout.trackPath(track("/Users/me/Music/../../../etc/passwd", "..", ".."));
  EXPECT_EQ(p, "Music/_/_/passwd");
  p = layout.trackPath(track("/Users/me/Music/a/./../b/x.mp3"));
  EXPECT_EQ(p, "Music/b/x.mp3");
  p = layout.trackPath(track("", "", ""));
  EXPECT_EQ(p, "Music/Unknown Artist/Unknown Album/_");
}

TEST(DestinationLayoutTracks, CollisionsByCaseAndCompositionGetNumbers) {
  DestinationLayout layout;
  EXPECT_EQ(layout.trackPath(track("/a/Song.mp3", "Artist", "Album")),
            "Music/Artist/Album/Song.mp3");
  EXPECT_EQ(layout.trackPath(track("/b/SONG.MP3", "Artist", "Album")),
            "Music/Artist/Album/SONG (2).MP3");
  EXPECT_EQ(layout.trackPath(track("/c/song.mp3", "Artist", "Album")),
            "Music/Artist/Album/song (3).mp3");
  // The same folder spelled in another case or composition is one folder,
  // kept in its first spelling.
  EXPECT_EQ(layout.trackPath(track("/d/Caf\u00E9.mp3", "ARTIST", "album")),
            "Music/Artist/Album/Caf\u00E9.mp3");
  EXPECT_EQ(layout.trackPath(track("/e/Cafe\xCC\x81.mp3", "Artist", "Album")),
            "Music/Artist/Album/Caf\u00E9 (2).mp3");
  // Names that become equal only after cleaning also collide.
  EXPECT_EQ(layout.trackPath(track("/f/a:b.mp3", "Artist", "Album")), "Music/Artist/Album/a_b.mp3");
  EXPECT_EQ(layout.trackPath(track("/g/a?b.mp3", "Artist", "Album")),
            "Music/Artist/Album/a_b (2).mp3");
}

// A file's key is made from its folder's key and its name's: folding a
// path a component at a time must give the whole path's key.
TEST(DestinationLayoutTracks, KeysFoldAComponentAtATime) {
  for (std::string folder : {"Music/Caf\u00E9", "Music/Stra\u00DFe", "Music/\u01C4\u03C3"}) {
    for (std::string name : {"\u0301a.mp3", "e\u0301t\u00E9.mp3", "\uFB01n \u03C2.mp3", "a.mp3"}) {
      std::string key = DestinationLayout::collisionKey(folder) + "/";
      base::unicode::appendFoldedName(key, name);
      EXPECT_EQ(key, DestinationLayout::collisionKey(folder + "/" + name)) << folder << "/" << name;
    }
  }
  DestinationLayout layout;
  EXPECT_EQ(layout.trackPath(track("/a/\u00E9t\u00E9.mp3", "Caf\u00E9", "x")),
            "Music/Caf\u00E9/x/\u00E9t\u00E9.mp3");
  EXPECT_EQ(layout.trackPath(track("/b/E\u0301TE\u0301.mp3", "CAFE\u0301", "X")),
            "Music/Caf\u00E9/x/\u00C9T\u00C9 (2).mp3");
}

// The plan and the stale walk take the layout's keys instead of folding
// each path again: a key given must be the one folding would give, or a
// needed copy would look stale. Kept paths bring the record's keys.
TEST(DestinationLayoutTracks, TheKeysTheLayoutGivesAreThePathsOwn) {
  struct Row {
    const char *location, *artist, *album, *kept;
  };
  const Row rows[] = {
      {"/a/Caf\u00E9.mp3", "\u00C9dith", "Stra\u00DFe", nullptr},
      {"/b/cafe\u0301.mp3", "E\u0301dith", "STRASSE", nullptr},  // numbered beside the first
      {"/c/\u212A.mp3", "\u01C4", "\u03C3\u03C2", nullptr},
      {"/d/x.mp3", "Bad \xff Artist", "Album", nullptr},  // not UTF-8 in the library
      {"/i/y.mp3", "Bad \xff Artist", "Album", "Bad \xff Artist/Album/y.mp3"},  // nor on the drive
      {"/e/Song.mp3", "Artist", "Album", "Artist/Album/Song.mp3"},              // kept as spelled
      {"/f/\u00E9t\u00E9.mp3", "Artist", "Album", "Artist/Album/e\u0301te\u0301.mp3"},
      {"/g/Other.mp3", "Artist", "Album", "Elsewhere/Old Name.mp3"},  // named so once
      {"/h/song.mp3", "artist", "album", nullptr},
  };
  Library lib;
  DestinationLayout::KeptPaths kept;
  std::vector<std::string> keys;
  keys.reserve(std::size(rows));
  for (const Row& r : rows) {
    lib.tracks.push_back(track(r.location, r.artist, r.album));
    lib.tracks.back().persistentId = lib.text->add(r.location);
  }
  for (size_t i = 0; i < std::size(rows); ++i) {
    if (!rows[i].kept) continue;
    keys.push_back(DestinationLayout::collisionKey(std::string("Music/") + rows[i].kept));
    kept.emplace(lib.tracks[i].persistentId.view(),
                 DestinationLayout::KeptPath{rows[i].kept, keys.back()});
  }
  const DestinationLayout::KeptPaths* none = nullptr;
  for (const DestinationLayout::KeptPaths* keeping :
       {none, const_cast<const DestinationLayout::KeptPaths*>(&kept)}) {
    auto laid = DestinationLayout::forLibraryByPlace(lib, nullptr, keeping);
    size_t made = 0;
    for (size_t i = 0; i < std::size(rows); ++i) {
      ASSERT_TRUE(laid.tracks[i]) << rows[i].location;
      if (laid.keys[i].empty()) continue;
      ++made;
      const std::string& path = *laid.tracks[i];
      EXPECT_EQ(laid.keys[i], session::walkKey(path)) << path;
      // Its folders' keys end where their paths do.
      const std::string& key = laid.keys[i];
      ASSERT_EQ(std::count(key.begin(), key.end(), '/'), std::count(path.begin(), path.end(), '/'));
      const std::string folder = path.substr(0, path.rfind('/'));
      EXPECT_EQ(key.substr(0, key.rfind('/')), session::walkKey(folder)) << folder;
    }
    EXPECT_GE(made, std::size(rows) - 2) << "most keys come from the layout";
  }
}

TEST(DestinationLayoutTracks, NumberedLongNamesStayWithinTheLimit) {
  DestinationLayout layout;
  std::string name = std::string(260, 'x') + ".mp3";
  std::string first = layout.trackPath(track("/a/" + name, "A", "B"));
  std::string second = layout.trackPath(track("/b/" + name, "A", "B"));
  EXPECT_NE(first, second);
  std::string leaf = second.substr(second.rfind('/') + 1);
  EXPECT_EQ(leaf.size(), 255u);
  EXPECT_EQ(leaf.substr(leaf.size() - 8), " (2).mp3");
}

TEST(DestinationLayoutTracks, AFolderDoesNotTakeAFilesName) {
  DestinationLayout layout("/m");
  EXPECT_EQ(layout.trackPath(track("/m/A/b")), "Music/A/b");
  EXPECT_EQ(layout.trackPath(track("/m/a/B/c.mp3")), "Music/A/B (2)/c.mp3");
}

// An export of some playlists lays out only what it needs, and must give
// those tracks the paths an export of the whole library gives them.
TEST(DestinationLayoutTracks, SomeTracksGetTheirPathsInTheWholeLibrary) {
  Library lib;
  for (const char* id : {"A", "B", "C"}) {
    lib.tracks.push_back(track(std::string("/") + id + "/Song.mp3", "Artist", "Album"));
    lib.tracks.back().persistentId = lib.text->add(id);
  }
  auto all = DestinationLayout::forLibrary(lib);
  EXPECT_EQ(all.tracks.at("C"), "Artist/Album/Song (3).mp3");
  for (std::unordered_set<std::string_view> only :
       {std::unordered_set<std::string_view>{"B"}, {"A", "C"}, {}}) {
    auto some = DestinationLayout::forLibrary(lib, &only);
    EXPECT_EQ(some.tracks.size(), only.size());
    for (std::string_view id : only)
      EXPECT_EQ(some.tracks.at(std::string(id)), all.tracks.at(std::string(id)));
    // By place, the same tracks get the same paths, and no others get one.
    std::vector<uint8_t> wanted(lib.tracks.size());
    for (size_t i = 0; i < lib.tracks.size(); ++i)
      wanted[i] = only.count(lib.tracks[i].persistentId);
    auto byPlace = DestinationLayout::forLibraryByPlace(lib, &wanted);
    for (size_t i = 0; i < lib.tracks.size(); ++i) {
      auto id = std::string(lib.tracks[i].persistentId.view());
      EXPECT_EQ(byPlace.tracks[i].has_value(), wanted[i] != 0) << id;
      EXPECT_EQ(byPlace.tracks[i].value_or(""), wanted[i] ? all.tracks.at(id) : "") << id;
    }
  }
}

TEST(DestinationLayoutPlaylists, NamesAreCleanedAndRepeatsNumbered) {
  DestinationLayout layout;
  EXPECT_EQ(layout.playlistFileName("Road Trip: 2024/25"), "Road Trip_ 2024_25");
  EXPECT_EQ(layout.playlistFileName("Mix"), "Mix");
  EXPECT_EQ(layout.playlistFileName("mix"), "mix (2)");
  EXPECT_EQ(layout.playlistFileName("Mix"), "Mix (3)");
  EXPECT_EQ(layout.playlistFileName("Vol. 2"), "Vol. 2");
  EXPECT_EQ(layout.playlistFileName("Vol. 2"), "Vol. 2 (2)");
  EXPECT_EQ(layout.playlistFileName(""), "Untitled");
  EXPECT_EQ(layout.playlistFileName("AUX"), "_AUX");
  std::string longName = layout.playlistFileName(std::string(300, 'p'));
  EXPECT_EQ(longName.size() + 5, 255u);
  std::string again = layout.playlistFileName(std::string(300, 'p'));
  EXPECT_EQ(again.size() + 5, 255u);
  EXPECT_EQ(again.substr(again.size() - 4), " (2)");
}

TEST(DestinationLayoutDurations, WholeSecondsFromMilliseconds) {
  EXPECT_EQ(DestinationLayout::durationText(313270), "313");
  EXPECT_EQ(DestinationLayout::durationText(313500), "314");
  EXPECT_EQ(DestinationLayout::durationText(499), "0");
  EXPECT_EQ(DestinationLayout::durationText(0), "0");
  EXPECT_EQ(DestinationLayout::durationText(std::nullopt), "-1");
  EXPECT_EQ(DestinationLayout::durationText(-5), "-1");
}

}  // namespace
}  // namespace app

namespace app {
namespace {

const std::string kFixtures = TESSALINE_SOURCE_DIR "/../shared/fixtures/itunes-library/";

TEST(DestinationLayoutFixtures, EveryRealExportGetsDistinctSafePaths) {
  TESSALINE_REQUIRE_FIXTURE(std::filesystem::exists(kFixtures), kFixtures);
  int libraries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kFixtures)) {
    if (entry.path().extension() != ".xml") continue;
    Library lib;
    try {
      lib = LibraryReader().read(entry.path().string());
    } catch (const LibraryError&) {
      continue;  // the malformed one
    }
    ++libraries;
    DestinationLayout layout(lib.musicFolderSourcePath);
    std::set<std::string> keys;
    for (const LibraryTrack& t : lib.tracks) {
      std::string path = layout.trackPath(t);
      EXPECT_EQ(path.rfind("Music/", 0), 0u) << path;
      EXPECT_TRUE(keys.insert(DestinationLayout::collisionKey(path)).second) << path;
      size_t start = 0;
      while (start <= path.size()) {
        size_t end = std::min(path.find('/', start), path.size());
        std::string c = path.substr(start, end - start);
        EXPECT_FALSE(c.empty() || c == "." || c == "..") << path;
        EXPECT_LE(c.size(), 255u) << path;
        EXPECT_EQ(c.find_first_of("\\:*?\"<>|#%$;"), std::string::npos) << path;
        EXPECT_NE(c.back(), '.') << path;
        EXPECT_NE(c.back(), ' ') << path;
        start = end + 1;
      }
    }
  }
  EXPECT_GE(libraries, 7);
}

TEST(DestinationLayoutFixtures, MusicAppAndOutsideTheMediaFolder) {
  TESSALINE_REQUIRE_FIXTURE(std::filesystem::exists(kFixtures + "tracklist-music-app-2020.xml") &&
                                std::filesystem::exists(kFixtures + "plist-stream-folders.xml"),
                            kFixtures);
  Library music = LibraryReader().read(kFixtures + "tracklist-music-app-2020.xml");
  DestinationLayout a(music.musicFolderSourcePath);
  for (const LibraryTrack& t : music.tracks) {
    if (t.persistentId == "247979196C3601D5") {
      EXPECT_EQ(a.trackPath(t),
                "Music/Beyonc\xC3\xA9/HOMECOMING_ THE LIVE ALBUM/"
                "02 Crazy In Love (Homecoming Live).m4a");
      EXPECT_EQ(DestinationLayout::durationText(t.totalTimeMs), "167");  // 167347 ms
    }
  }
  Library folders = LibraryReader().read(kFixtures + "plist-stream-folders.xml");
  DestinationLayout b(folders.musicFolderSourcePath);
  ASSERT_EQ(folders.tracks.size(), 2u);
  EXPECT_EQ(b.trackPath(folders.tracks[0]), "Music/Eve 6/Horrorscope/02 Promise.m4a");
  EXPECT_EQ(b.trackPath(folders.tracks[1]),
            "Music/Lit/A Place in the Sun/0002d642383efb657163667e9a03e0a4.mp3");
}

}  // namespace
}  // namespace app
