// What `tessaline drives` and the plan say of a drive's .is_audio_player:
// each setting with the line it came from, and a note only beside what
// the export does not follow.
#include <gtest/gtest.h>

#include "cli/PlayerSettingsText.h"

namespace app {
namespace {

TEST(PlayerSettingsText, EachSettingSaysWhereItCameFromAndWhatIsNotFollowed) {
  struct Row {
    const char* profile;
    std::vector<std::string> lines;  // each one of the lines said, whole
  };
  const std::vector<Row> rows = {
      {"",
       {"playlist folder: Playlists/ (the default)", "cover image: folder.jpg (the default)",
        "music folder: Music/ (the default)"}},
      {"playlist_path=/Lists/%File\ncover_art_file_name=AlbumArt.png\ncover_art_size=300\n"
       "audio_folders=MUSIC/,PODCASTS/\n",
       {"playlist folder: Lists/ (.is_audio_player line 1)",
        "cover image: AlbumArt.png (.is_audio_player line 2)",
        "cover type: png (.is_audio_player line 2)", "cover size: 300 px (.is_audio_player line 3)",
        // "MUSIC" is "Music" on a FAT or exFAT drive.
        "music folder: MUSIC/ (.is_audio_player line 4)"}},
      {"audio_folders=Audio/\ncover_art_file_type=png\n",
       {"music folder: Audio/ (.is_audio_player line 1)",
        "cover image: folder.png (.is_audio_player line 2)",
        "cover type: png (.is_audio_player line 2)"}},
      // The root is not followed: a clean-up would walk the owner's own
      // folders.
      {"audio_folders=/\n",
       {"music folder: / (.is_audio_player line 1; not followed: tracks go to Music/)"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.profile);
    auto lines = playerSettingsLines(
        session::resolveSettings(session::parsePlayerProfile(row.profile), {}), "");
    for (const auto& line : row.lines)
      EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    size_t notes = 0;
    for (const auto& line : lines) notes += line.find("not followed") != std::string::npos;
    EXPECT_EQ(notes, std::string(row.profile).find("=/\n") != std::string::npos ? 1u : 0u);
  }
}

}  // namespace
}  // namespace app
