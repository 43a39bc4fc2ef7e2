// What a file holds comes from its content, not its name: a few seconds
// of tone in each format, made by the ffmpeg command line at test time.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fs/FileManager.h"
#include "fs/ReadableFile.h"
#include "session/MediaHeader.h"
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

// The MP4 header read without libavformat tells what libavformat tells,
// to the millisecond, or tells nothing: for each kind of file, edit lists
// patched to end before, within and past the media, and the file cut
// short at every few bytes.
TEST(MediaProbe, TheMp4HeaderTellsWhatLibavformatTellsOrNothing) {
  if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  testsupport::TempDir dir;
  auto fm = fs::FileManager::makePrivate();
  auto millis = [](double seconds) { return static_cast<int64_t>(seconds * 1000 + 0.5); };
  // Whether the header tells `path`, and then the same as libavformat.
  auto told = [&](const std::string& path) -> std::optional<bool> {
    base::FileError why;
    auto file = fm->openForReading(path, &why);
    if (!file) return std::nullopt;
    auto quick = session::probeMp4Header(*file);
    auto full = session::probeMedia(*fm, path);
    if (!quick) return false;
    EXPECT_TRUE(full.ok()) << path;
    if (!full.ok()) return true;
    EXPECT_EQ(quick->format, full->format) << path;
    EXPECT_EQ(millis(quick->seconds), millis(full->seconds)) << path;
    return true;
  };
  struct Row {
    const char *name, *codecArgs;
    bool told;
  };
  const std::vector<Row> rows = {
      {"aac.m4a", "-c:a aac -b:a 64k", true},
      {"faststart.m4a", "-c:a aac -movflags +faststart", true},
      {"alac.m4a", "-c:a alac", true},
      {"mono.m4a", "-c:a aac -ac 1 -ar 22050", true},
      {"he.m4a", "-c:a aac -profile:a aac_he", false},
      {"mp3.mp4", "-c:a libmp3lame", false},
      {"opus.mp4", "-c:a libopus", false},
      {"flac.mp4", "-c:a flac -strict -2", false},
      {"ac3.mp4", "-c:a ac3", false},
      {"plain.mp3", "-c:a libmp3lame", false},
      {"two.m4a", "-c:a aac -map 0:a -map 0:a", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string command =
        "ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=440:duration=3.7 " +
        std::string(row.codecArgs) + " '" + (dir / row.name) + "'";
    if (std::system(command.c_str()) != 0) continue;  // an encoder this ffmpeg lacks
    EXPECT_EQ(told(dir / row.name), row.told);
  }
  // The edit list's one entry, in milliseconds of the movie, over the
  // media's 3.7 s (and some priming before them).
  const std::string aac = testsupport::readFile(dir / "aac.m4a");
  const size_t elst = aac.find("elst");
  ASSERT_NE(elst, std::string::npos);
  auto put32 = [](std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (24 - 8 * i));
  };
  struct Edit {
    uint32_t segment, mediaTime, rate;
    bool told;
  };
  for (const Edit& e : {Edit{3000, 1024, 0x10000, true}, Edit{3900, 1024, 0x10000, true},
                        Edit{3722, 1024, 0x10000, true}, Edit{3700, 2048, 0x10000, true},
                        Edit{1000, 5000, 0x10000, true}, Edit{3700, 0, 0x10000, true},
                        Edit{3700, 0xFFFFFFFF, 0x10000, false}, Edit{3700, 1024, 0x20000, false}}) {
    SCOPED_TRACE(std::to_string(e.segment) + " " + std::to_string(e.mediaTime));
    std::string edited = aac;
    put32(edited, elst + 12, e.segment);
    put32(edited, elst + 16, e.mediaTime);
    put32(edited, elst + 20, e.rate);
    testsupport::writeFile(dir / "edited.m4a", edited);
    EXPECT_EQ(told(dir / "edited.m4a"), e.told);
  }
  // Cut short anywhere: told only what libavformat tells too.
  const std::string faststart = testsupport::readFile(dir / "faststart.m4a");
  for (size_t length = 0; length < faststart.size(); length += 97) {
    testsupport::writeFile(dir / "cut.m4a", faststart.substr(0, length));
    std::optional<bool> quick = told(dir / "cut.m4a");
    ASSERT_TRUE(quick.has_value());
    if (*quick) {
      EXPECT_TRUE(session::probeMedia(*fm, dir / "cut.m4a").ok()) << length;
    }
  }
}

}  // namespace
