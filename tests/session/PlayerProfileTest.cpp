// .is_audio_player files as players and users write them, and what an
// export takes from them.
#include <gtest/gtest.h>

#include "session/PlayableFormats.h"
#include "session/PlayerProfile.h"

namespace {

using session::parsePlayerProfile;

TEST(PlayerProfile, ReadsFilesAsPlayersShipThem) {
  struct Row {
    const char* text;
    std::string music, playlists, formats, cover;
    std::vector<size_t> badLines;
  };
  const std::vector<Row> rows = {
      // Rhythmbox's generic player, with its trailing comma.
      {"audio_folders=MUSIC/,\nfolder_depth=2\noutput_formats=audio/mpeg,audio/x-ms-wma\n",
       "MUSIC",
       "",
       "audio/mpeg|audio/x-ms-wma",
       "",
       {}},
      // Banshee's device files: quoted name, playlist_path with %File.
      {"name=\"Sansa Clip\"\naudio_folders=MUSIC/,PODCASTS/\noutput_formats=audio/mpeg, "
       "audio/ogg, audio/flac\ninput_formats=audio/mpeg\nplaylist_formats=audio/x-mpegurl\n"
       "playlist_path=PLAYLISTS/%File\ncover_art_file_type=jpeg\ncover_art_file_name=cover\n"
       "cover_art_size=320\n",
       "MUSIC",
       "PLAYLISTS",
       "audio/mpeg|audio/ogg|audio/flac",
       "cover",
       {}},
      // A user's, with CRLF, blanks, quotes around lists, ../ and a comment.
      {"\xEF\xBB\xBF# my player\r\naudio_folders = \"/Music\" \r\n\r\noutput_formats = "
       "\"audio/mpeg\", 'audio/mp4'\r\nplaylist_format=audio/x-mpegurl\r\n"
       "playlist_path=Music/../Playlists/\r\nvideo_folders=Video/\r\n",
       "Music",
       "Playlists",
       "audio/mpeg|audio/mp4",
       "",
       {}},
      // Malformed lines: each named, the rest still counts.
      {"audio_folders=Audio\nthis line is wrong\nfolder_depth=two\noutput_formats=\"audio/mpeg\n"
       "playlist_path=../../outside/%File\n=x\ncover_art_file_type=gif\n"
       "output_formats=audio/flac\n",
       "Audio",
       "",
       "audio/flac",
       "",
       {2, 3, 4, 5, 6, 7}},
      {"playlist_path=%File\nplaylist_formats=audio/x-scpls\n", "", "", "", "", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    session::PlayerProfile p = parsePlayerProfile(row.text);
    EXPECT_EQ(p.audioFolders ? p.audioFolders.value.front() : "", row.music);
    EXPECT_EQ(p.playlistFolder.value, row.playlists);
    std::string formats;
    for (const auto& f : p.outputFormats.value) formats += (formats.empty() ? "" : "|") + f;
    EXPECT_EQ(formats, row.formats);
    EXPECT_EQ(p.coverName.value, row.cover);
    std::vector<size_t> bad;
    for (const auto& problem : p.problems) bad.push_back(problem.line);
    EXPECT_EQ(bad, row.badLines);
  }
}

TEST(PlayerProfile, CommandLineWinsAndEachSettingSaysWhereItCameFrom) {
  auto profile = parsePlayerProfile(
      "audio_folders=MUSIC/\noutput_formats=audio/mpeg\nplaylist_formats=audio/x-scpls,"
      "audio/x-mpegurl\ncover_art_file_type=png\n");
  session::PlayerSettings s = session::resolveSettings(profile, {});
  EXPECT_EQ(s.formats.value, std::vector<std::string>{"audio/mpeg"});
  EXPECT_EQ(s.formats.origin.text(), ".is_audio_player line 2");
  EXPECT_EQ(s.playlistFormat.value, "m3u");
  EXPECT_EQ(s.coverName.value, "folder.png");
  EXPECT_EQ(s.playlistFolder.origin.text(), "the default");
  s = session::resolveSettings(profile, {std::vector<std::string>{"flac"}, "m3u8-root"});
  EXPECT_EQ(s.formats.value, std::vector<std::string>{"flac"});
  EXPECT_EQ(s.formats.origin.text(), "the command line");
  EXPECT_EQ(s.playlistFormat.value, "m3u8-root");
  // What the command writes reads back as the same settings.
  session::PlayerSettings again =
      session::resolveSettings(parsePlayerProfile(session::profileText(s)), {});
  EXPECT_EQ(again.musicFolder.value, "MUSIC");
  EXPECT_EQ(again.formats.value, std::vector<std::string>{"audio/flac"});
  EXPECT_EQ(again.playlistFormat.value, "m3u8");
  EXPECT_EQ(again.coverName.value, "folder.png");
  EXPECT_TRUE(again.problems.empty());
}

TEST(PlayableFormats, ExtensionsCodecsAndMimeTypes) {
  using session::MediaFormat;
  struct Row {
    std::vector<std::string> words;
    MediaFormat probed;
    bool plays;
    const char* extension;
    std::optional<bool> byName;
  };
  const std::vector<Row> rows = {
      {{"mp3", "m4a"}, {"mp4", "alac"}, true, "m4a", true},
      {{"mp3", "aac"}, {"mp4", "alac"}, false, "m4a", std::nullopt},
      {{"mp3", "aac"}, {"mp4", "aac"}, true, "aac", true},
      {{"audio/mpeg", "audio/mp4"}, {"mp3", "flac"}, false, "mp3", true},
      {{"audio/x-alac"}, {"mp4", "alac"}, true, "flac", false},
      {{"pcm"}, {"aiff", "pcm"}, true, "aif", true},
      {{"audio/x-wav"}, {"aiff", "pcm"}, false, "wav", true},
      {{"audio/ogg; codecs=opus"}, {"ogg", "opus"}, true, "ogg", std::nullopt},
      {{".XYZ"}, {"mp3", "mp3"}, false, "xyz", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.words.front());
    auto formats = session::PlayableFormats::of(row.words);
    EXPECT_EQ(formats.plays(row.probed), row.plays);
    EXPECT_EQ(formats.playsExtension(row.extension), row.byName);
  }
}

}  // namespace
