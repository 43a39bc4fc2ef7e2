// The real program on real FAT32 and exFAT volumes (FUSE drivers on small
// images): an export, a second one that finds everything there (FAT keeps
// local times in 2-second steps), a clean-up, names FAT refuses or merges,
// and on FAT32 a track larger than the file system holds. Skipped, saying
// why, where no volume can be mounted (not root, no /dev/fuse).
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "support/FuseVolume.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;
using nlohmann::json;
using testsupport::FuseVolume;

namespace {

struct Track {
  std::string id, file;  // file name of the source, in folder src/
  uint64_t bytes = 1000;
};

std::string fileUrl(const std::string& path) {
  std::string out = "file://";
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

void writeLibrary(const testsupport::TempDir& dir, const std::vector<Track>& tracks) {
  std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>Library Persistent ID</key><string>L1</string><key>Tracks</key><dict>)";
  std::string items;
  int n = 0;
  for (const Track& t : tracks) {
    std::string source = dir / ("src/" + t.file);
    if (!stdfs::exists(source)) {
      stdfs::create_directories(dir / "src");
      testsupport::writeFile(source, std::string(t.bytes > 1 << 20 ? 0 : t.bytes, 'x') + t.id);
      if (t.bytes > 1 << 20) stdfs::resize_file(source, t.bytes);  // sparse
    }
    std::string number = std::to_string(++n);
    xml += "<key>" + number + "</key><dict><key>Track ID</key><integer>" + number +
           "</integer><key>Persistent ID</key><string>" + t.id +
           "</string><key>Name</key><string>" + t.id +
           "</string><key>Artist</key><string>A</string><key>Album</key><string>B</string>" +
           "<key>Location</key><string>" + fileUrl(source) + "</string></dict>";
    items += "<dict><key>Track ID</key><integer>" + number + "</integer></dict>";
  }
  xml +=
      "</dict><key>Playlists</key><array><dict><key>Name</key><string>Mix</string>"
      "<key>Playlist Persistent ID</key><string>P1</string><key>Playlist Items</key><array>" +
      items + "</array></dict></array></dict></plist>";
  testsupport::writeFile(dir / "Library.xml", xml);
}

std::pair<int, json> run(const std::string& args) {
  std::string command = "'" TESSALINE_EXECUTABLE "' " + args + " --json 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, json::parse(out, nullptr, false)};
}

std::pair<int, json> exportTo(const testsupport::TempDir& dir, const std::string& drive,
                              const std::string& extra = "") {
  return run("export --library '" + dir / "Library.xml" + "' --to '" + drive + "' --yes " + extra);
}

void exerciseVolume(FuseVolume::Kind kind) {
  testsupport::TempDir dir;
  FuseVolume volume(kind, dir.path());
  if (!volume.ok()) GTEST_SKIP() << "no FUSE volume: " << volume.why();
  const bool fat32 = kind == FuseVolume::Kind::kFat32;
  std::vector<Track> tracks = {{"Plain", "Plain.mp3"},     {"Refused", "a\"*:<>?\\|\t\x01z.mp3"},
                               {"Case1", "Case.mp3"},      {"Case2", "CASE.mp3"},
                               {"Nfc", "Caf\xC3\xA9.mp3"}, {"Nfd", "Cafe\xCC\x81.mp3"}};
  if (fat32) tracks.push_back({"Huge", "Huge.mov", (uint64_t{1} << 32) + 1});
  writeLibrary(dir, tracks);
  auto [status, report] = exportTo(dir, volume.path(), "--verify");
  ASSERT_FALSE(report.is_discarded());
  // What the drive cannot hold is named in the plan and left out; the
  // rest is copied. fusefat refuses every name that is not ASCII: the
  // plan says so.
  std::set<std::string> notCopied;
  for (const auto& f : report["notCopied"]) notCopied.insert(f["title"].get<std::string>());
  std::set<std::string> expected;
  if (fat32) expected = {"Huge", "Nfc", "Nfd"};
  EXPECT_EQ(notCopied, expected) << report.dump(1);
  EXPECT_EQ(status, expected.empty() ? 0 : 1);
  EXPECT_EQ(report["cannotBeCopied"].size(), fat32 ? 3u : 0u) << report["cannotBeCopied"];
  EXPECT_EQ(report["playlistFiles"].size(), 1u) << report["playlistFilesNotWritten"];
  if (fat32) {
    EXPECT_EQ(report["freeSpace"], nullptr);  // fusefat does not tell
    EXPECT_EQ(report["fileSystem"], "FAT32");
  }
  EXPECT_EQ(report["copied"].size(), tracks.size() - expected.size());
  for (const auto& copied : report["copied"]) {
    std::string name = stdfs::path(copied.get<std::string>()).filename();
    EXPECT_EQ(name.find_first_of("\"*:<>?\\|\t\x01"), std::string::npos) << name;
    EXPECT_TRUE(stdfs::is_regular_file(copied.get<std::string>())) << copied;
  }
  EXPECT_EQ(report["verified"]["files"], report["copied"].size());
  // The drive as the exporter wrote it: every copy and the playlist file
  // checked by content.
  auto [checked, check] = run("check '" + volume.path() + "'");
  EXPECT_EQ(checked, 0) << check.dump(1);
  EXPECT_EQ(check["checkedByContent"], report["copied"].size() + 1);
  EXPECT_EQ(check["checkedBySizeAndTime"], 0) << check.dump(1);
  // The playlist file lists only the tracks on the drive.
  EXPECT_TRUE(check["playlistEntriesNeverCopied"].empty()) << check.dump(1);
  EXPECT_TRUE(check["danglingPlaylistEntries"].empty()) << check.dump(1);
  // Again: nothing to copy, the playlist file replaced.
  auto [again, second] = exportTo(dir, volume.path());
  EXPECT_EQ(again, status);
  EXPECT_EQ(second["copied"].size(), 0u) << second.dump(1);
  EXPECT_EQ(second["bytesCopied"], 0);
  EXPECT_EQ(second["playlistFiles"].size(), 1u) << second["playlistFilesNotWritten"];
  // A track gone from the library is stale, and the clean-up deletes it.
  writeLibrary(dir, {tracks.begin() + 1, tracks.end()});
  auto [clean, third] = exportTo(dir, volume.path());
  EXPECT_EQ(clean, status);
  EXPECT_FALSE(stdfs::exists(volume.path() + "/Music/A/B/Plain.mp3")) << third.dump(1);
  EXPECT_EQ(third["stale"]["deleted"], true) << third.dump(1);
  EXPECT_EQ(third["copied"].size(), 0u);
}

}  // namespace

TEST(FatEndToEnd, Fat32ThroughFusefat) { exerciseVolume(FuseVolume::Kind::kFat32); }
TEST(FatEndToEnd, ExFatThroughExfatFuse) { exerciseVolume(FuseVolume::Kind::kExFat); }
