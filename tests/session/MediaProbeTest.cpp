// What a file holds comes from its content, not its name: a few seconds
// of tone in each format, made by the ffmpeg command line at test time.
#include <gtest/gtest.h>

#include <cstdlib>

#include "fs/FileManager.h"
#include "session/MediaProbe.h"
#include "support/TempDir.h"

namespace {

TEST(MediaProbe, ContainerAndCodecComeFromTheContent) {
  if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  testsupport::TempDir dir;
  struct Row {
    const char *name, *codecArgs, *container, *codec;
  };
  const std::vector<Row> rows = {
      {"a.flac", "-c:a flac", "flac", "flac"},
      {"b.m4a", "-c:a alac", "mp4", "alac"},
      {"c.m4a", "-c:a aac", "mp4", "aac"},
      {"d.mp3", "-c:a libmp3lame", "mp3", "mp3"},
      {"e.opus", "-c:a libopus", "ogg", "opus"},
      {"f.ogg", "-c:a libvorbis", "ogg", "vorbis"},
      {"g.wav", "", "wav", "pcm"},
      {"h.aiff", "", "aiff", "pcm"},
      {"i.mp3", "-c:a flac -f flac", "flac", "flac"},
      // No length in the headers: the frames tell it.
      {"j.mp3", "-c:a libmp3lame -b:a 128k -write_xing 0", "mp3", "mp3"},
      {"k.aac", "-c:a aac -b:a 128k -f adts", "adts", "aac"},
  };
  auto fm = fs::FileManager::makePrivate();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string command =
        "ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=440:duration=2 " +
        std::string(row.codecArgs) + " '" + (dir / row.name) + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    auto probed = session::probeMedia(*fm, dir / row.name);
    ASSERT_TRUE(probed.ok()) << probed.status().message();
    EXPECT_EQ(probed->format, (session::MediaFormat{row.container, row.codec}));
    EXPECT_NEAR(probed->seconds, 2.0, 0.1);
  }
  testsupport::writeFile(dir / "noise.mp3", std::string(5000, 'Z'));
  auto noise = session::probeMedia(*fm, dir / "noise.mp3");
  ASSERT_FALSE(noise.ok());
  EXPECT_NE(noise.status().message().find(dir / "noise.mp3"), std::string::npos);
  EXPECT_FALSE(session::probeMedia(*fm, dir / "missing.flac").ok());
}

}  // namespace
