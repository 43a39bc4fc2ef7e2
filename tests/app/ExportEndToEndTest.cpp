// The export as a user runs it: the executable on the sample library, on
// every real library export in the fixtures, and on hostile input.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "support/TempDir.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kTessaline = TESSALINE_BINARY_DIR "/src/app/tessaline";
const std::string kFixtures = TESSALINE_SOURCE_DIR "/../shared/fixtures/itunes-library";

std::string shellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Outcome {
  int status;
  std::string out;
};

Outcome run(const std::string& args) {
  std::string command = shellQuoted(kTessaline) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

json exportJson(const std::string& library, const std::string& drive, const std::string& extra = "") {
  Outcome r = run("export --library " + shellQuoted(library) + " --to " + shellQuoted(drive) + " --yes --json " + extra);
  EXPECT_TRUE(r.status == 0 || r.status == 1) << r.out;
  size_t brace = r.out.find("{\n");
  EXPECT_NE(brace, std::string::npos) << r.out;
  return json::parse(r.out.substr(brace == std::string::npos ? 0 : brace));
}

std::vector<std::string> playlistEntries(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<std::string> paths;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != '#') paths.push_back(line);
  }
  return paths;
}

// Every entry of every playlist file names a file on the drive, except
// the tracks the export reported as not copied or left unchecked.
void expectPlaylistsNameOnlyWhatIsThere(const std::string& drive, const json& report) {
  std::set<std::string> allowedMissing;
  for (const auto& f : report["notCopied"]) allowedMissing.insert(f["destination"].get<std::string>());
  for (const auto& d : report["uncheckedNotCopied"]) allowedMissing.insert(d.get<std::string>());
  size_t files = 0;
  for (const auto& name : report["playlistFiles"]) {
    std::string file = drive + "/Playlists/" + name.get<std::string>();
    ASSERT_TRUE(fs::exists(file)) << file;
    ++files;
    for (const auto& path : playlistEntries(file)) {
      EXPECT_EQ(path.rfind(drive + "/Music/", 0), 0u) << path;
      if (!fs::exists(path)) {
        EXPECT_TRUE(allowedMissing.count(path)) << "missing and not reported: " << path;
      }
    }
  }
  EXPECT_EQ(files, report["playlists"].size());
}

bool treeIsEmpty(const std::string& dir) { return fs::is_empty(dir); }

}  // namespace

TEST(ExportEndToEnd, SampleLibraryThenNothingThenStaleFiles) {
  testsupport::TempDir dir;
  std::string lib = dir / "library", drive = dir / "drive";
  fs::create_directories(drive);
  ASSERT_EQ(std::system(("python3 " + shellQuoted(TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py") + " " +
                         shellQuoted(lib) + " >/dev/null")
                            .c_str()),
            0);
  json first = exportJson(lib + "/Library.xml", drive);
  EXPECT_EQ(first["status"], "done");
  EXPECT_GT(first["bytesCopied"].get<uint64_t>(), 0u);
  EXPECT_EQ(first["bytesCopied"], first["bytesToCopy"]);
  EXPECT_EQ(first["uncheckedNotCopied"].size(), 1u);
  EXPECT_EQ(first["coverImages"], 3);
  expectPlaylistsNameOnlyWhatIsThere(drive, first);
  // The playlist that lists a track twice lists it twice.
  auto favourites = playlistEntries(drive + "/Playlists/Favourites ♥.m3u8");
  ASSERT_EQ(favourites.size(), 5u);
  EXPECT_EQ(favourites[1], favourites[4]);

  json second = exportJson(lib + "/Library.xml", drive);
  EXPECT_EQ(second["bytesToCopy"], 0);
  EXPECT_EQ(second["bytesCopied"], 0);
  EXPECT_TRUE(second["stale"]["files"].empty());

  json third = exportJson(lib + "/Library-fewer.xml", drive);
  EXPECT_EQ(third["stale"]["deleted"], true);
  EXPECT_EQ(third["stale"]["playlistFiles"], json::array({drive + "/Playlists/Sunday.m3u8"}));
  EXPECT_EQ(third["stale"]["files"].size(), 3u);  // the track and its two folders
  EXPECT_FALSE(fs::exists(drive + "/Playlists/Sunday.m3u8"));
  EXPECT_FALSE(fs::exists(drive + "/Music/Music/The Beatles"));
  expectPlaylistsNameOnlyWhatIsThere(drive, third);
}

TEST(ExportEndToEnd, EveryRealLibraryExport) {
  if (!fs::is_directory(kFixtures)) GTEST_SKIP() << "no fixtures at " << kFixtures;
  for (const auto& entry : fs::directory_iterator(kFixtures)) {
    std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".xml" || name.find("malformed") != std::string::npos) continue;
    SCOPED_TRACE(name);
    testsupport::TempDir drive;
    json report = exportJson(entry.path().string(), drive.path());
    // Exported: every playlist but the master, hidden, distinguished and
    // folder ones (one of the exports holds no other kind).
    if (name.find("tracklist") == std::string::npos) {
      EXPECT_FALSE(report["playlists"].empty());
    }
    expectPlaylistsNameOnlyWhatIsThere(drive.path(), report);
    json again = exportJson(entry.path().string(), drive.path());
    EXPECT_EQ(again["bytesCopied"], 0);
  }
}

TEST(ExportEndToEnd, MalformedOrTruncatedLibraryChangesNothing) {
  testsupport::TempDir dir;
  std::string drive = dir / "drive";
  fs::create_directories(drive);
  if (fs::is_directory(kFixtures)) {
    Outcome r = run("export --library " + shellQuoted(kFixtures + "/lastfm-malformed-remote.xml") + " --to " + shellQuoted(drive) +
                " --yes");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("line"), std::string::npos) << r.out;
  }
  ASSERT_EQ(std::system(("python3 " + shellQuoted(TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py") + " " +
                         shellQuoted(dir / "lib") + " >/dev/null")
                            .c_str()),
            0);
  std::string whole = testsupport::readFile(dir / "lib/Library.xml");
  testsupport::writeFile(dir / "cut.xml", whole.substr(0, whole.size() / 2));
  Outcome r = run("export --library " + shellQuoted(dir / "cut.xml") + " --to " + shellQuoted(drive) + " --yes");
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("line "), std::string::npos) << r.out;
  EXPECT_TRUE(treeIsEmpty(drive));
  EXPECT_EQ(run("export --library " + shellQuoted(dir / "none.xml") + " --to " + shellQuoted(drive)).status, 2);
  EXPECT_EQ(run("export --library " + shellQuoted(dir / "lib/Library.xml") + " --to " + shellQuoted(dir / "nope")).status, 2);
  EXPECT_EQ(run("export --library " + shellQuoted(dir / "lib/Library.xml") + " --to " + shellQuoted(drive) +
                " --playlist 'No Such List' --yes")
                .status,
            2);
  EXPECT_TRUE(treeIsEmpty(drive));
}

namespace {

std::string trackXml(int id, const std::string& name, const std::string& album, const std::string& location) {
  return "<key>" + std::to_string(id) + "</key><dict><key>Track ID</key><integer>" + std::to_string(id) +
         "</integer><key>Name</key><string>" + name + "</string><key>Artist</key><string>Band</string>" +
         "<key>Album</key><string>" + album + "</string><key>Total Time</key><integer>61500</integer>" +
         "<key>Persistent ID</key><string>ID" + std::to_string(id) + "</string>" +
         "<key>Track Type</key><string>File</string><key>Location</key><string>" + location +
         "</string></dict>";
}

}  // namespace

TEST(ExportEndToEnd, HostileAndCollidingNamesStayInsideTheDriveAndApart) {
  testsupport::TempDir dir;
  std::string drive = dir / "drive";
  fs::create_directories(drive);
  // Files outside any media folder: laid out as album/file name; the
  // names differ only in case or in Unicode composition.
  std::vector<std::pair<std::string, std::string>> files = {
      {"song.mp3", "A"}, {"SONG.mp3", "A"}, {"caf\xC3\xA9.mp3", "A"}, {"cafe\xCC\x81.mp3", "A"},
      {"x.mp3", "../../../escape"}, {"CON.mp3", "A"}};
  std::string tracks, items;
  int id = 1;
  for (const auto& [file, folder] : files) {
    std::string src = dir / ("src" + std::to_string(id) + "/" + file);
    testsupport::writeFile(src, std::string(100 + id, 'x'));
    tracks += trackXml(id, file, folder, "file://" + src);
    items += "<dict><key>Track ID</key><integer>" + std::to_string(id) + "</integer></dict>";
    ++id;
  }
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>Tracks</key><dict>" + tracks +
      "</dict><key>Playlists</key><array><dict><key>Name</key><string>../../Evil/Name</string>"
      "<key>Playlist Persistent ID</key><string>PL1</string><key>Playlist Items</key><array>" +
      items + "</array></dict></array></dict></plist>";
  testsupport::writeFile(dir / "Library.xml", xml);
  json report = exportJson(dir / "Library.xml", drive);
  EXPECT_EQ(report["status"], "done");
  std::set<std::string> copied;
  for (const auto& e : fs::recursive_directory_iterator(drive)) {
    if (e.is_regular_file() && e.path().string().find("/.tessaline/") == std::string::npos) {
      copied.insert(e.path().string());
    }
  }
  EXPECT_EQ(copied.size(), files.size() + 1);  // the tracks and the playlist file
  EXPECT_FALSE(fs::exists(dir / "escape"));
  for (const auto& path : copied) EXPECT_EQ(path.rfind(drive + "/", 0), 0u) << path;
  expectPlaylistsNameOnlyWhatIsThere(drive, report);
}

TEST(ExportEndToEnd, ToTheFakeDrivesFat32VolumeAndNotToItsReadOnlyOne) {
  testsupport::TempDir dir;
  std::string fake = TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive";
  std::string volume = dir / "mounts/media/alex/TESSA MUSIC";
  fs::create_directories(volume);
  ASSERT_EQ(std::system(("python3 " + shellQuoted(TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py") + " " +
                         shellQuoted(dir / "lib") + " >/dev/null")
                            .c_str()),
            0);
  std::string env = "XDG_CONFIG_HOME=" + shellQuoted(dir / "config") + " TESSALINE_FAKE_MOUNTS=" +
                    shellQuoted(dir / "mounts") + " ";
  std::string library = " export --library " + shellQuoted(dir / "lib/Library.xml") + " --yes";
  // Without --to the preselected volume is used.
  std::string command = env + shellQuoted(kTessaline) + " --fake-hardware " + shellQuoted(fake) + library;
  EXPECT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0);
  EXPECT_TRUE(fs::exists(volume + "/Playlists/Road Trip.m3u8"));
  EXPECT_TRUE(fs::exists(volume + "/Music/Music/Björk/Homogenic/01 Jóga.wav"));
  int status = std::system((command + " --drive ARCHIVE >/dev/null 2>&1").c_str());
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_FALSE(fs::exists(dir / "mounts/media/alex/ARCHIVE"));
}
