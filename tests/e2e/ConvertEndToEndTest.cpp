// export --convert-to on media made with the ffmpeg command: what the
// drive cannot play arrives converted with its tags and length, a second
// export converts nothing, new settings convert again, a damaged source
// fails alone, and a kill leaves no file cut short under a track's name.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "fs/FileManager.h"
#include "session/MediaProbe.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;
using nlohmann::json;

namespace {

int ffmpegShell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The export's JSON report and exit status.
std::pair<int, json> exportConverting(const std::string& home, const std::string& extra) {
  std::string command =
      "XDG_CONFIG_HOME='" + home + "/config' '" TESSALINE_EXECUTABLE "' export --library '" + home +
      "/lists' --to '" + home + "/drive' --formats mp3,aac --yes --json " + extra + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, json::parse(out, nullptr, false)};
}

// Each file below the drive's music folder with its inode: a file
// converted again is a new one.
std::map<std::string, ino_t> convertedOn(const std::string& drive) {
  std::map<std::string, ino_t> out;
  if (!stdfs::exists(drive + "/Music")) return out;
  for (const auto& e : stdfs::recursive_directory_iterator(drive + "/Music")) {
    struct stat st {};
    if (e.is_regular_file() && ::stat(e.path().c_str(), &st) == 0)
      out[e.path().filename().string()] = st.st_ino;
  }
  return out;
}

TEST(ConvertEndToEnd, ConvertsWhatTheDriveCannotPlayOnceAndAgainWhenAskedOtherwise) {
  if (ffmpegShell("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  testsupport::TempDir dir;
  const std::string home = dir / "home", drive = home + "/drive";
  stdfs::create_directories(home + "/m");
  stdfs::create_directories(drive);
  const std::string tags =
      " -metadata title=Tone -metadata artist=Gen -metadata album=Tests -metadata "
      "album_artist=Various -metadata track=3/9 -metadata disc=1/2 -metadata date=2020 "
      "-metadata genre=Test ";
  struct Source {
    const char *file, *encoding;
  };
  const std::vector<Source> sources = {{"a.flac", ""},
                                       {"b.m4a", "-c:a alac"},
                                       {"c.wav", ""},
                                       {"d.aiff", "-write_id3v2 1"},
                                       {"e.mp3", ""}};
  std::string list;
  for (const Source& s : sources) {
    ASSERT_EQ(
        ffmpegShell("ffmpeg -nostdin -loglevel error -f lavfi -i sine=frequency=440:duration=2 " +
                    std::string(s.encoding) + tags + "'" + home + "/m/" + s.file + "'"),
        0);
    list += std::string("../m/") + s.file + "\n";
  }
  testsupport::writeFile(home + "/lists/Mix.m3u8", list);

  auto fm = fs::FileManager::makePrivate();
  struct Step {
    const char* what;
    std::string extra;
    size_t converted;
    const char* extension;  // of the converted files
    const char* codec;
  };
  const std::vector<Step> steps = {
      {"first export", "--convert-to mp3", 4, "mp3", "mp3"},
      {"nothing changed", "--convert-to mp3", 0, "mp3", "mp3"},
      {"another quality", "--convert-to mp3 --quality 4", 4, "mp3", "mp3"},
      {"another codec", "--convert-to aac", 4, "m4a", "aac"},
  };
  std::map<std::string, ino_t> before;
  std::string playlistId;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    auto [status, report] = exportConverting(home, step.extra);
    ASSERT_EQ(status, 0) << report.dump(1);
    playlistId = report["playlists"][0]["id"];
    EXPECT_EQ(report["converted"], step.converted);
    // The plan's figures for them are estimates, counted in the space needed.
    EXPECT_EQ(report["convert"]["tracks"], step.converted);
    EXPECT_GE(report["spaceNeeded"].get<uint64_t>(),
              report["convert"]["estimatedBytes"].get<uint64_t>());
    auto now = convertedOn(drive);
    // The playable mp3 is copied as it is; the superseded files are gone.
    std::map<std::string, ino_t> expected;
    for (const char* stem : {"a", "b", "c", "d"}) {
      std::string name = std::string(stem) + "." + step.extension;
      ASSERT_TRUE(now.count(name)) << name;
      expected[name] = step.converted ? now[name] : before[name];
      auto probed = session::probeMedia(*fm, drive + "/Music/" + name);
      ASSERT_TRUE(probed.ok()) << probed.status().message();
      EXPECT_EQ(probed->format.codec, step.codec) << name;
      EXPECT_NEAR(probed->seconds, 2.0, 0.05) << name;
      for (const char* tag : {"title", "artist", "album", "genre"})
        EXPECT_FALSE(probed->tags[tag].empty()) << name << " " << tag;
      EXPECT_EQ(probed->tags["title"], "Tone") << name;
      EXPECT_EQ(probed->tags["track"].substr(0, 1), "3") << name;
    }
    expected["e.mp3"] = now["e.mp3"];
    EXPECT_EQ(now, expected);
    before = now;
    std::string playlist = testsupport::readFile(drive + "/Playlists/Mix.m3u8");
    EXPECT_NE(playlist.find(std::string("a.") + step.extension), std::string::npos) << playlist;
  }

  // An unattended --remembered export converts as the window chose for
  // the drive, so the converted copies stay; --convert-to none overrides
  // it, and the tracks the drive cannot play are then left out.
  testsupport::writeFile(home + "/config/tessaline/remembered-playlists.json",
                         json{{"destinations",
                               {{"folder:" + stdfs::canonical(drive).string(),
                                 {{"playlists", {playlistId}}, {"convertTo", "aac"}}}}}}
                             .dump());
  auto [status, report] = exportConverting(home, "--remembered");
  EXPECT_EQ(status, 0) << report.dump(1);
  EXPECT_EQ(report["converted"], 0);
  EXPECT_EQ(report["convert"]["to"], "aac 256k");
  EXPECT_EQ(convertedOn(drive), before);
  auto [noneStatus, none] = exportConverting(home, "--remembered --convert-to none --dry-run");
  EXPECT_EQ(noneStatus, 0) << none.dump(1);
  EXPECT_FALSE(none.contains("convert")) << none.dump(1);

  // A source cut short fails alone, naming itself and why; nothing of it
  // is left on the drive or listed.
  testsupport::writeFile(
      home + "/m/z.flac",
      testsupport::readFile(home + "/m/a.flac").substr(0, 9000) + std::string(4000, '\x7f'));
  testsupport::writeFile(home + "/lists/Mix.m3u8", list + "../m/z.flac\n");
  std::tie(status, report) = exportConverting(home, "--convert-to aac");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(report["converted"], 0);
  ASSERT_EQ(report["notCopied"].size(), 1u) << report.dump(1);
  std::string reason = report["notCopied"][0]["reason"];
  EXPECT_NE(reason.find(home + "/m/z.flac"), std::string::npos) << reason;
  EXPECT_NE(reason.find("decode"), std::string::npos) << reason;
  auto after = convertedOn(drive);
  EXPECT_EQ(after, before);
  EXPECT_EQ(testsupport::readFile(drive + "/Playlists/Mix.m3u8").find("z."), std::string::npos);
}

// Killed at moments spread over the conversions: what stands under a
// track's name is whole, and the next export finishes the rest.
TEST(ConvertEndToEnd, AKillLeavesNoConvertedFileCutShortAndTheNextExportFinishes) {
  if (ffmpegShell("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  testsupport::TempDir dir;
  const std::string home = dir / "home", drive = home + "/drive";
  stdfs::create_directories(home + "/m");
  std::string list;
  for (int i = 0; i < 6; ++i) {
    std::string file = home + "/m/" + std::to_string(i) + ".flac";
    ASSERT_EQ(ffmpegShell("ffmpeg -nostdin -loglevel error -f lavfi -i sine=duration=15 -ac 2 '" +
                          file + "'"),
              0);
    list += file + "\n";
  }
  testsupport::writeFile(home + "/lists/Mix.m3u8", list);
  auto fm = fs::FileManager::makePrivate();
  auto expectWhole = [&] {
    for (const auto& [name, inode] : convertedOn(drive)) {
      if (name[0] == '.') continue;  // a temporary, the next export's to remove
      auto probed = session::probeMedia(*fm, drive + "/Music/" + name);
      ASSERT_TRUE(probed.ok()) << probed.status().message();
      EXPECT_NEAR(probed->seconds, 15.0, 0.05) << name;
    }
  };
  for (int killAfterMs : {150, 400, 900}) {
    SCOPED_TRACE(killAfterMs);
    stdfs::remove_all(drive);
    stdfs::create_directories(drive);
    std::string library = home + "/lists";
    const char* argv[] = {TESSALINE_EXECUTABLE,
                          "export",
                          "--library",
                          library.c_str(),
                          "--to",
                          drive.c_str(),
                          "--formats",
                          "mp3",
                          "--convert-to",
                          "vorbis",
                          "--yes",
                          "--quiet",
                          nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    expectWhole();
    auto [status, report] = exportConverting(home, "--convert-to vorbis");
    EXPECT_EQ(status, 0) << report.dump(1);
    EXPECT_EQ(convertedOn(drive).size(), 6u);
    expectWhole();
  }
}

}  // namespace
