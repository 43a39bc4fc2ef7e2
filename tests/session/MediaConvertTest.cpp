// A converted track has the target codec, its source's tags and cover
// and its duration; a source that cannot be decoded fails with its
// reason.
#include <gtest/gtest.h>

#include <cstdlib>

#include "fs/FileManager.h"
#include "session/MediaConvert.h"
#include "session/MediaProbe.h"
#include "support/TempDir.h"

namespace {

TEST(MediaConvert, TargetCodecTagsCoverAndDurationCarryOver) {
  if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  testsupport::TempDir dir;
  std::string source = dir / "src.flac";
  std::string make =
      "ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=440:duration=3 -f lavfi -i "
      "color=c=red:s=32x32:d=1 -map 0 -map 1 -frames:v 1 -c:v mjpeg -disposition:v attached_pic "
      "-metadata title=Tone -metadata artist=Gen -metadata album=Tests -metadata track=3/9 "
      "-metadata date=2020 -metadata genre=Test '" +
      source + "'";
  ASSERT_EQ(std::system(make.c_str()), 0);
  auto fm = fs::FileManager::makePrivate();
  struct Row {
    const char *codec, *container;
    bool cover;  // Ogg's as a METADATA_BLOCK_PICTURE comment
  };
  for (const Row& row : std::vector<Row>{{"mp3", "mp3", true},
                                         {"aac", "mp4", true},
                                         {"opus", "ogg", true},
                                         {"vorbis", "ogg", true}}) {
    SCOPED_TRACE(row.codec);
    auto bytes = session::convertMedia(*fm, source, {row.codec});
    ASSERT_TRUE(bytes.ok()) << bytes.status().message();
    std::string out = dir / ("out." + session::extensionOf({row.codec}));
    testsupport::writeFile(out, *bytes);
    auto probed = session::probeMedia(*fm, out);
    ASSERT_TRUE(probed.ok()) << probed.status().message();
    EXPECT_EQ(probed->format, (session::MediaFormat{row.container, row.codec}));
    EXPECT_NEAR(probed->seconds, 3.0, 0.05);
    EXPECT_EQ(probed->tags["title"], "Tone");
    EXPECT_EQ(probed->tags["artist"], "Gen");
    EXPECT_EQ(probed->tags["genre"], "Test");
    EXPECT_EQ(probed->cover, row.cover);
  }
  // A source cut off after its header fails, naming it and the reason.
  std::string cut = dir / "cut.flac";
  testsupport::writeFile(cut,
                         testsupport::readFile(source).substr(0, 9000) + std::string(4000, '\x7f'));
  auto failed = session::convertMedia(*fm, cut, {"mp3"});
  ASSERT_FALSE(failed.ok());
  EXPECT_NE(failed.status().message().find(cut), std::string::npos);
}

}  // namespace
