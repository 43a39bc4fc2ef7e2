// A kept playlist file is read as a player reads it: whatever its format,
// the entries that name a file below the music folder are what it needs.
#include "session/Target.h"

#include <gtest/gtest.h>

namespace {

TEST(TargetEntries, ReadAsAPlayerResolvesThem) {
  struct Row {
    const char* text;
    bool windows1252;
    std::vector<std::string> expected;
    const char* music = "Music";
  };
  const std::vector<Row> rows = {
      {"#EXTM3U\n#EXTINF:3,A - B\n../Music/A/B/01 B.mp3\n", false, {"A/B/01 B.mp3"}},
      {"\xEF\xBB\xBF#EXTM3U\r\n../Music/A/x.mp3\r\n\r\n", false, {"A/x.mp3"}},
      {"/Music/A/Caf\xC3\xA9.mp3\n", false, {"A/Café.mp3"}},
      {"/media/d/Music/A/y.mp3\n/elsewhere/Music/z.mp3\n", false, {"A/y.mp3"}},
      {"..\\Music\\A\\Caf\xE9 \x80.mp3\n", true, {"A/Café €.mp3"}},
      {"../Music/A/../../Music/B/q.mp3\n../Playlists/other.m3u8\n../Music\n../../x.mp3\n",
       false,
       {"B/q.mp3"}},
      {"", false, {}},
      // The music folder the drive's profile names, one deep or more; a
      // folder that only begins with its name is another.
      {"../AUDIO/A/x.mp3\n../Music/A/y.mp3\n/AUDIO/b.mp3\n../AUDIOBOOKS/c.mp3\n",
       false,
       {"A/x.mp3", "b.mp3"},
       "AUDIO"},
      {"../Media/Music/A/x.mp3\n../Music/A/y.mp3\n", false, {"A/x.mp3"}, "Media/Music"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(
        session::musicEntriesOf(row.text, row.windows1252, "Playlists", "/media/d", row.music),
        row.expected);
  }
}

TEST(TargetEntries, UncheckedTracksAreNeitherListedNorNeeded) {
  session::Snapshot snapshot;
  snapshot.tracks = {{"1", "/s/a", "A/a.mp3", true}, {"2", "/s/b", "A/b.mp3", false}};
  snapshot.playlists = {{"p", "P", {1, 0, 1}, 0}};
  for (bool onlyChecked : {true, false}) {
    session::Target t = session::targetOf(snapshot, {{"Playlists/P.m3u8", 0}},
                                          {{"Playlists/Kept.m3u8", "../Music/Z/z.mp3\n"}},
                                          onlyChecked, "/d", "Music");
    ASSERT_EQ(t.files.size(), 2u);
    const std::vector<uint32_t> expected =
        onlyChecked ? std::vector<uint32_t>{0} : std::vector<uint32_t>{1, 0, 1};
    EXPECT_EQ(t.files[0].entries, expected);
    EXPECT_EQ(t.listed[1], onlyChecked ? 0 : 1);
    EXPECT_EQ(t.needed.size(), onlyChecked ? 2u : 3u);  // the kept file's entry too
    EXPECT_EQ(t.files[1].keptEntries, std::vector<std::string>{"Z/z.mp3"});
  }
}

}  // namespace
