// The window's words and the capacity bar's parts, as tables.
#include <gtest/gtest.h>

#include "gui/CapacityBar.h"
#include "gui/Words.h"

namespace app {
namespace {

TEST(WindowWords, PlayingTimesAndCaptions) {
  struct {
    double seconds;
    const char* text;
  } times[] = {{0, "0:00"},
               {7.4, "0:07"},
               {200, "3:20"},
               {3723, "1:02:03"},
               {6126, "1:42:06"},
               {172799, "47:59:59"},
               {181440, "2 days 2 hours"},
               {86400 * 3, "3 days"},
               {-1, "0:00"}};
  for (const auto& t : times) EXPECT_EQ(playingTime(t.seconds), t.text) << t.seconds;

  struct {
    uint64_t tracks, bytes;
    double rate;
    const char* caption;
  } captions[] = {
      {1, 0, 25e6, "Mix: 1 track, 3:20, nothing left to copy"},
      {2, 0, 0, "Mix: 2 tracks, 3:20, nothing left to copy"},
      {2, 5000000, 0, "Mix: 2 tracks, 3:20, 4.8 MB still to copy"},
      {2, 5000000, 1e6, "Mix: 2 tracks, 3:20, 4.8 MB still to copy (about 0:05)"},
      {2, 5000, 1e6, "Mix: 2 tracks, 3:20, 4.9 KB still to copy (about a second)"},
  };
  for (const auto& c : captions)
    EXPECT_EQ(playlistCaption("Mix", c.tracks, 200, c.bytes, c.rate), c.caption);
}

TEST(WindowWords, HeadlineAndButtonSayWhatExportWillDoOrWhatIsMissing) {
  using Names = std::vector<std::string>;
  struct {
    HeadlineFacts facts;
    const char *text, *button;
  } cases[] = {
      {{false, true, "TESSA MUSIC", 3, 10}, "Choose your library file", "Export"},
      {{true, false, "", 3, 10}, "Choose a drive or folder", "Export"},
      {{true, true, "TESSA MUSIC", 0, 0, Names{"Sunday"}, 2, 1, 9},
       "Tick the playlists to export to TESSA MUSIC",
       "Export"},
      {{true, true, "TESSA MUSIC", 14, 26319462},
       "Export 14 playlists (25.1 MB) to TESSA MUSIC",
       "Export"},
      {{true, true, "stick", 1, 0}, "Export 1 playlist (nothing to copy) to stick", "Export"},
      {{true, true, "stick", 4, 0, Names{"Sunday"}, 2, 1, 16077},
       "Export 4 playlists (nothing to copy) to stick and remove Sunday (1 track, 15.7 KB)",
       "Export 4 playlists and remove Sunday (1 track, 15.7 KB)"},
      {{true, true, "stick", 2, 2048, Names{"Nordic", "World", "Sunday"}, 13, 10, 5 << 20},
       "Export 2 playlists (2.0 KB) to stick and remove Nordic, World and Sunday (10 tracks, 5.0 "
       "MB)",
       "Export 2 playlists and remove Nordic, World and Sunday (10 tracks, 5.0 MB)"},
      {{true, true, "stick", 1, 0, Names{"A", "B", "C", "D", "E"}, 5, 0, 900},
       "Export 1 playlist (nothing to copy) to stick and remove A, B, C and 2 more (no tracks, "
       "900 bytes)",
       "Export 1 playlist and remove A, B, C and 2 more (no tracks, 900 bytes)"},
      {{true, true, "stick", 3, 0, Names{}, 2, 2, 4096},
       "Export 3 playlists (nothing to copy) to stick and remove 2 files no ticked playlist "
       "needs (4.0 KB)",
       "Export 3 playlists and remove 2 files no ticked playlist needs (4.0 KB)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(headline(c.facts), c.text);
    EXPECT_EQ(exportButtonText(c.facts), c.button);
  }
}

TEST(WindowWords, CapacityPartsAddUpToTheDrive) {
  struct {
    CapacityParts parts;
    uint64_t others, freeAfter;
    bool fits;
  } cases[] = {
      {{1000, 400, 100, 150}, 500, 250, true},
      {{1000, 400, 100, 400}, 500, 0, true},
      {{1000, 400, 100, 401}, 500, 0, false},
      {{1000, 1000, 0, 0}, 0, 1000, true},
      {{1000, 50, 2000, 0}, 0, 50, true},  // a drive that reports less than it holds
      // Whole clusters: 390 bytes of files that take 512 on the drive.
      {{1000, 400, 100, 390, 512}, 500, 0, false},
      {{1000, 600, 100, 390, 512}, 300, 88, true},
      // What the clean-up frees is free after the export, and may make it fit.
      {{1000, 400, 100, 150, 0, 50}, 450, 300, true},
      {{1000, 100, 100, 150, 0, 60}, 740, 10, true},
      {{1000, 100, 100, 150, 256, 60}, 740, 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.parts.others(), c.others);
    EXPECT_EQ(c.parts.freeAfter(), c.freeAfter);
    EXPECT_EQ(c.parts.fits(), c.fits);
  }
}

}  // namespace
}  // namespace app
