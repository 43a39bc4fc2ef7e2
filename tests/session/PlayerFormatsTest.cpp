// What the drive plays comes from its .is_audio_player unless the
// command line says otherwise, and is judged by each file's content,
// which the drive's record then remembers.
#include <gtest/gtest.h>

#include <cstdlib>

#include "fs/DestinationRoot.h"
#include "fs/DriveRecord.h"
#include "session/DestinationLayout.h"
#include "session/ExportSession.h"
#include "support/Services.h"
#include "support/TempDir.h"

TEST(PlayerFormats, TheProfileSetsTheDefaultsAndEachFileIsJudgedByWhatItHolds) {
  if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  testsupport::TempDir dir;
  std::string lib = dir / "lib", drive = dir / "drive";
  ASSERT_EQ(std::system(("python3 '" TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py' '" +
                         lib + "' >/dev/null")
                            .c_str()),
            0);
  // A FLAC file under a .wav name.
  const std::string odd = lib + "/Media/Music/Nena/99 Luftballons/18 99 Luftballons.wav";
  ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -i '" + odd + "' -f flac '" + dir / "x" +
                         "' && mv '" + dir / "x" + "' '" + odd + "'")
                            .c_str()),
            0);
  // A file FFmpeg cannot tell, judged by its name.
  const std::string noise = lib + "/Media/Music/坂本龍一/音楽図鑑/07 Tibetan Dance.wav";
  ASSERT_EQ(std::system(
                ("test -f '" + noise + "' && head -c 3000 /dev/urandom > '" + noise + "'").c_str()),
            0);
  testsupport::writeFile(drive + "/.is_audio_player",
                         "output_formats=audio/x-wav\nplaylist_format=audio/x-mpegurl\nbad\n");
  struct Row {
    std::vector<std::string> formats;  // empty: none given
    size_t unplayable;
    std::string playlistFormat;
  };
  for (const Row& row :
       std::vector<Row>{{{}, 1, "m3u"}, {{"flac", "pcm"}, 0, "m3u"}, {{"audio/flac"}, 18, "m3u"}}) {
    SCOPED_TRACE(row.unplayable);
    app::ExportOptions options;
    options.library = lib + "/Library.xml";
    options.to = drive;
    options.playableFormatsGiven = !row.formats.empty();
    if (!row.formats.empty()) options.playableFormats = row.formats;
    app::ExportSession session(options, testsupport::services());
    ASSERT_TRUE(session.load().ok());
    EXPECT_EQ(session.playerSettings().playlistFormat.value, row.playlistFormat);
    ASSERT_EQ(session.playerSettings().problems.size(), 1u);
    EXPECT_EQ(session.playerSettings().problems[0].line, 3u);
    auto plan = session.plan();
    ASSERT_TRUE(plan.ok());
    ASSERT_EQ((*plan)->unplayable.size(), row.unplayable);
    if (row.unplayable == 1) {
      EXPECT_EQ((*plan)->unplayable[0].reason,
                "its .wav file holds FLAC, which the drive does not play "
                "(.is_audio_player line 1)");
    }
    if (row.formats.empty()) {
      ASSERT_TRUE(session.prepare().ok());
      ASSERT_TRUE(session.copy(nullptr, nullptr).ok());
    }
  }
  // Found once, remembered by the source's size and time.
  auto record = fs::DriveRecord::load(*fs::DestinationRoot::open(drive),
                                      &app::DestinationLayout::collisionKey);
  ASSERT_TRUE(record.ok());
  EXPECT_EQ(record->probed.size(), 19u);
  EXPECT_EQ(record->probed.at(odd).codec, "flac");
  EXPECT_FALSE(record->probed.at(noise).told);
}
