// The export as a user runs it: the executable on the sample library, on
// every real library export in the fixtures, and on hostile input.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "base/Unicode.h"
#include "cli/Terminal.h"
#include "fs/DestinationRoot.h"
#include "fs/DriveRecord.h"
#include "session/DestinationLayout.h"
#include "support/Fixtures.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kTessaline = TESSALINE_EXECUTABLE;
const std::string kFixtures = TESSALINE_SOURCE_DIR "/../shared/fixtures/itunes-library";

std::string shellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// The command line of an export of `library` to `drive`.
std::string exportOf(const std::string& library, const std::string& drive) {
  return "export --library " + shellQuoted(library) + " --to " + shellQuoted(drive);
}

// The sample library (and its media) the project's script writes.
void makeSample(const std::string& where) {
  ASSERT_EQ(std::system(("python3 " +
                         shellQuoted(TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py") + " " +
                         shellQuoted(where) + " >/dev/null")
                            .c_str()),
            0);
}

struct Outcome {
  int status;
  std::string out;
};

Outcome run(const std::string& args, const std::string& env = "",
            const std::string& program = kTessaline) {
  std::string command = env + shellQuoted(program) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Records the files at `paths` (below `drive`) as the exporter's, as they
// stand: its own files by the record's word.
void recordAsWritten(const std::string& drive, const std::vector<std::string>& paths) {
  auto record = fs::DriveRecord::open(fs::DestinationRoot::open(drive),
                                      &app::DestinationLayout::collisionKey);
  ASSERT_TRUE(record.ok()) << record.status().message();
  std::vector<fs::RecordEntry> entries;
  for (const auto& path : paths) {
    struct stat st;
    ASSERT_EQ(lstat((drive + "/" + path).c_str(), &st), 0);
    fs::RecordEntry e;
    e.path = path;
    e.key = app::DestinationLayout::collisionKey(path);
    e.drive = {static_cast<uint64_t>(st.st_size),
               static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
    entries.push_back(std::move(e));
  }
  ASSERT_TRUE((*record)->append(entries, true).ok());
}

json exportJson(const std::string& library, const std::string& drive,
                const std::string& extra = "") {
  Outcome r = run(exportOf(library, drive) + " --yes --json " + extra);
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

// Every entry of every playlist file, resolved against the playlist's
// folder as a player does, names a file below the drive's Music folder
// (tracks not copied or left unchecked are not listed).
// `drive` may be where the drive folder was moved after the export.
// `folder`: the playlist files', `music`: the tracks' (the drive's profile
// may name others).
void expectPlaylistsNameOnlyWhatIsThere(const std::string& drive, const json& report,
                                        const std::string& folder = "/Playlists",
                                        const std::string& music = "/Music") {
  size_t files = 0;
  for (const auto& name : report["playlistFiles"]) {
    std::string file = drive + folder + "/" + name.get<std::string>();
    ASSERT_TRUE(stdfs::exists(file)) << file;
    ++files;
    for (const auto& entry : playlistEntries(file)) {
      ASSERT_NE(entry[0], '/') << entry;
      std::string path = (stdfs::path(drive + folder) / entry).lexically_normal().string();
      EXPECT_EQ(path.rfind(drive + music + "/", 0), 0u) << path;
      EXPECT_TRUE(stdfs::is_regular_file(path)) << "missing: " << path;
    }
  }
  EXPECT_EQ(files, report["playlists"].size());
}

}  // namespace

TEST(ExportEndToEnd, SampleLibraryThenNothingThenStaleFiles) {
  testsupport::TempDir dir;
  std::string lib = dir / "library", drive = dir / "drive";
  stdfs::create_directories(drive);
  makeSample(lib);
  json first = exportJson(lib + "/Library.xml", drive);
  EXPECT_EQ(first["status"], "done");
  EXPECT_GT(first["bytesCopied"].get<uint64_t>(), 0u);
  EXPECT_EQ(first["bytesCopied"], first["bytesToCopy"]);
  EXPECT_EQ(first["uncheckedNotCopied"].size(), 1u);
  EXPECT_EQ(first["coverImages"], 3);
  expectPlaylistsNameOnlyWhatIsThere(drive, first);
  // The playlist that lists a track twice lists it twice; its unchecked
  // track, not on the drive, not at all.
  auto favourites = playlistEntries(drive + "/Playlists/Favourites ♥.m3u8");
  ASSERT_EQ(favourites.size(), 4u);
  EXPECT_EQ(favourites[1], favourites[3]);

  // Mounted elsewhere, every entry still plays.
  stdfs::rename(drive, dir / "moved");
  expectPlaylistsNameOnlyWhatIsThere(dir / "moved", first);
  stdfs::rename(dir / "moved", drive);
  EXPECT_EQ(first["entriesNotOnDrive"], json({{"unchecked", 1}, {"missing", 0}}));

  json second = exportJson(lib + "/Library.xml", drive);
  EXPECT_EQ(second["bytesToCopy"], 0);
  EXPECT_EQ(second["bytesCopied"], 0);
  EXPECT_TRUE(second["stale"]["files"].empty());

  json third = exportJson(lib + "/Library-fewer.xml", drive);
  EXPECT_EQ(third["stale"]["deleted"], true);
  EXPECT_EQ(third["stale"]["playlistFiles"], json::array({drive + "/Playlists/Sunday.m3u8"}));
  EXPECT_EQ(third["stale"]["files"].size(), 3u);  // the track and its two folders
  EXPECT_FALSE(stdfs::exists(drive + "/Playlists/Sunday.m3u8"));
  EXPECT_FALSE(stdfs::exists(drive + "/Music/The Beatles"));
  expectPlaylistsNameOnlyWhatIsThere(drive, third);
}

TEST(ExportEndToEnd, EveryRealLibraryExport) {
  TESSALINE_REQUIRE_FIXTURE(stdfs::is_directory(kFixtures), kFixtures);
  for (const auto& entry : stdfs::directory_iterator(kFixtures)) {
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
  stdfs::create_directories(drive);
  if (stdfs::is_directory(kFixtures)) {
    Outcome r = run(exportOf(kFixtures + "/lastfm-malformed-remote.xml", drive) + " --yes");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("line"), std::string::npos) << r.out;
  }
  makeSample(dir / "lib");
  std::string whole = testsupport::readFile(dir / "lib/Library.xml");
  testsupport::writeFile(dir / "cut.xml", whole.substr(0, whole.size() / 2));
  Outcome r = run(exportOf(dir / "cut.xml", drive) + " --yes");
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("line "), std::string::npos) << r.out;
  EXPECT_TRUE(stdfs::is_empty(drive));
  EXPECT_EQ(run(exportOf(dir / "lib/Library.xml", dir / "nope")).status, 2);
  EXPECT_EQ(
      run(exportOf(dir / "lib/Library.xml", drive) + " --playlist 'No Such List' --yes").status, 2);
  EXPECT_TRUE(stdfs::is_empty(drive));
}

namespace {

std::string trackXml(int id, const std::string& name, const std::string& album,
                     const std::string& location) {
  return "<key>" + std::to_string(id) + "</key><dict><key>Track ID</key><integer>" +
         std::to_string(id) + "</integer><key>Name</key><string>" + name +
         "</string><key>Artist</key><string>Band</string>" + "<key>Album</key><string>" + album +
         "</string><key>Total Time</key><integer>61500</integer>" +
         "<key>Persistent ID</key><string>ID" + std::to_string(id) + "</string>" +
         "<key>Track Type</key><string>File</string><key>Location</key><string>" + location +
         "</string></dict>";
}

// A library of `count` tracks (ids 1...count), all in the one playlist
// `name`.
std::string libraryXml(const std::string& tracks, int count, const std::string& name) {
  std::string items;
  for (int id = 1; id <= count; ++id)
    items += "<dict><key>Track ID</key><integer>" + std::to_string(id) + "</integer></dict>";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
         "<key>Tracks</key><dict>" +
         tracks + "</dict><key>Playlists</key><array><dict><key>Name</key><string>" + name +
         "</string><key>Playlist Persistent ID</key><string>PL1</string>"
         "<key>Playlist Items</key><array>" +
         items + "</array></dict></array></dict></plist>";
}

// A library in `dir` of one sparse 3 GB track: still copying when the
// test acts.
std::string bigLibrary(const testsupport::TempDir& dir) {
  std::string big = dir / "src/big.wav";
  testsupport::writeFile(big, "");
  stdfs::resize_file(big, 3ull << 30);
  testsupport::writeFile(dir / "Library.xml",
                         libraryXml(trackXml(1, "Big", "Album", "file://" + big), 1, "Long"));
  return dir / "Library.xml";
}

}  // namespace

// Folders nested a quarter of a million deep: choosing the outermost,
// planning and listing take time linear in the playlists (no recursion on
// the depth, no whole path per row).
TEST(ExportEndToEnd, FoldersNestedAQuarterMillionDeep) {
  testsupport::TempDir dir;
  std::string xml =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Tracks</key><dict/>"
      "<key>Playlists</key><array>";
  auto playlist = [](const std::string& id, int parent, const char* folder) {
    return "<dict><key>Name</key><string>" + id + "</string><key>Playlist Persistent ID</key>" +
           "<string>" + id + "</string><key>Parent Persistent ID</key><string>F" +
           std::to_string(parent) + "</string>" + folder + "</dict>";
  };
  const char* kFolder = "<key>Folder</key><true/>";
  for (int i = 0; i < 250000; ++i) xml += playlist("F" + std::to_string(i), i - 1, kFolder);
  testsupport::writeFile(dir / "deep.xml",
                         xml + playlist("Leaf", 249999, "") + "</array></dict></plist>");
  stdfs::create_directories(dir / "drive");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Sanitized code runs many times slower: the dry run alone, loosely bound.
  const double slack = 25;
  const size_t runs = 1;
#else
  // Twice what a machine of today takes: what this guards against, work
  // that grows with the depth squared, would take minutes.
  const double slack = 2;
  const size_t runs = 3;
#endif
  std::string library = " --library " + shellQuoted(dir / "deep.xml");
  const std::tuple<std::string, double, std::string> cases[] = {
      {exportOf(dir / "deep.xml", dir / "drive") + " -n --playlist F0", 1, "  Leaf "},
      {"playlists" + library, 3, "F249999\n"},
      {"playlists --json" + library, 3, "\"folder\": \"F249998\""},
  };
  // The processor time the command took, not the time on the clock: the
  // tests beside it share the machine's cores.
  auto childSeconds = [] {
    rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  for (size_t i = 0; i < runs; ++i) {
    const auto& [args, seconds, says] = cases[i];
    double start = childSeconds();
    Outcome r = run(args, "timeout -k 5 60 ");
    double took = childSeconds() - start;
    EXPECT_EQ(r.status, 0) << args;
    EXPECT_LT(took, seconds * slack) << args;
    EXPECT_NE(r.out.find(says), std::string::npos) << args << r.out.substr(0, 300);
  }
}

TEST(ExportEndToEnd, HostileAndCollidingNamesStayInsideTheDriveAndApart) {
  testsupport::TempDir dir;
  std::string drive = dir / "drive";
  stdfs::create_directories(drive);
  // Files outside any media folder: laid out as album/file name; the
  // names differ only in case or in Unicode composition.
  std::vector<std::pair<std::string, std::string>> files = {{"song.mp3", "A"},
                                                            {"SONG.mp3", "A"},
                                                            {"caf\xC3\xA9.mp3", "A"},
                                                            {"cafe\xCC\x81.mp3", "A"},
                                                            {"x.mp3", "../../../escape"},
                                                            {"CON.mp3", "A"}};
  std::string tracks;
  int id = 1;
  for (const auto& [file, folder] : files) {
    std::string src = dir / ("src" + std::to_string(id) + "/" + file);
    testsupport::writeFile(src, std::string(100 + id, 'x'));
    tracks += trackXml(id++, file, folder, "file://" + src);
  }
  testsupport::writeFile(dir / "Library.xml", libraryXml(tracks, id - 1, "../../Evil/Name"));
  json report = exportJson(dir / "Library.xml", drive);
  EXPECT_EQ(report["status"], "done");
  std::set<std::string> copied;
  for (const auto& e : stdfs::recursive_directory_iterator(drive)) {
    if (e.is_regular_file() && e.path().string().find("/.tessaline/") == std::string::npos) {
      copied.insert(e.path().string());
    }
  }
  EXPECT_EQ(copied.size(), files.size() + 1);  // the tracks and the playlist file
  EXPECT_FALSE(stdfs::exists(dir / "escape"));
  for (const auto& path : copied) EXPECT_EQ(path.rfind(drive + "/", 0), 0u) << path;
  expectPlaylistsNameOnlyWhatIsThere(drive, report);
}

// Names on the drive are composed, keep "$", ";" and "'", lose "#" and
// "%" (a player reads an entry as a URI) and never start with a dot. A
// track an earlier export left under its decomposed name, or under the
// name the layout gave before, moves to its new name once, through the
// record, with its cover; where the new name is taken, it keeps the old.
TEST(ExportEndToEnd, NamesAreComposedAndEarlierNamesAreRenamedOnce) {
  const std::string cafe = "Caf\xC3\xA9/Caf\xC3\xA9.mp3", hits = "And More/$hits; it's _1 50_.mp3";
  const std::tuple<bool, std::string, std::string> cases[] = {
      {false, cafe, "Cafe\xCC\x81/Cafe\xCC\x81.mp3"},
      {true, cafe, "Cafe\xCC\x81/Cafe\xCC\x81.mp3"},
      {false, hits, "...And More/_hits_ it's _1 50_.mp3"},
  };
  for (const auto& [taken, now, before] : cases) {
    SCOPED_TRACE(before);
    testsupport::TempDir dir;
    std::string drive = dir / "drive", tracks;
    stdfs::create_directories(drive);
    const std::pair<std::string, std::string> files[] = {{"$hits; it's #1 50%.mp3", "...And More"},
                                                         {"Cafe\xCC\x81.mp3", "Cafe\xCC\x81"},
                                                         {"Bought.m4p", "Store"}};
    for (int id = 1; id <= 3; ++id) {
      std::string src = dir / ("src/" + files[id - 1].first);
      testsupport::writeFile(src, std::string(100, 'x'));
      tracks += trackXml(id, "T", files[id - 1].second,
                         "file://" + replaceAll(replaceAll(src, "%", "%25"), "#", "%23"));
    }
    testsupport::writeFile(dir / "Library.xml", libraryXml(tracks, 3, "P"));
    testsupport::writeFile(dir / "src/folder.jpg", "jpg");
    exportJson(dir / "Library.xml", drive);
    const std::string composed = "Music/Band/" + now, earlier = "Music/Band/" + before;
    ASSERT_TRUE(stdfs::exists(drive + "/" + composed));
    // As an earlier export wrote it, with its cover, and so recorded.
    const std::string from = stdfs::path(composed).parent_path(),
                      to = stdfs::path(earlier).parent_path();
    stdfs::rename(drive + "/" + from, drive + "/" + to);
    stdfs::rename(drive + "/" + to + "/" + stdfs::path(composed).filename().string(),
                  drive + "/" + earlier);
    auto root = fs::DestinationRoot::open(drive);
    auto record = fs::DriveRecord::load(*root, &app::DestinationLayout::collisionKey);
    std::vector<fs::RecordEntry> entries;
    std::vector<std::string> keys;
    for (auto [key, e] : record->entries) {
      if (e.path != from && e.path.rfind(from + "/", 0) != 0) continue;
      keys.push_back(key);
      e.path = e.path == composed ? earlier : to + e.path.substr(from.size());
      e.key = app::DestinationLayout::collisionKey(e.path);
      entries.push_back(e);
    }
    ASSERT_EQ(entries.size(), 3u);  // the track, its cover, the folder the exporter made
    auto writer = fs::DriveRecord::open(root, &app::DestinationLayout::collisionKey);
    ASSERT_TRUE((*writer)->remove(keys, true).ok() && (*writer)->append(entries, true).ok());
    writer->reset();
    if (taken) testsupport::writeFile(drive + "/" + composed, "the user's");
    json dry = exportJson(dir / "Library.xml", drive, "-n");
    EXPECT_EQ(dry["toRename"], json::array({earlier.substr(6)}));
    EXPECT_EQ(dry["bytesToCopy"], 0);
    EXPECT_EQ(dry["unplayable"][0]["reason"].get<std::string>().rfind("protected (.m4p)", 0), 0u);
    json run = exportJson(dir / "Library.xml", drive);
    EXPECT_EQ(run["renamed"], taken ? 0 : 1);
    EXPECT_EQ(run["notRenamed"].size(), taken ? 1u : 0u);
    EXPECT_EQ(run["bytesCopied"], 0);
    EXPECT_EQ(stdfs::exists(drive + "/" + to), taken);
    EXPECT_NE(stdfs::exists(drive + "/" + from + "/folder.jpg"), taken);
    EXPECT_EQ(testsupport::readFile(drive + "/" + composed).size(), taken ? 10u : 100u);
    expectPlaylistsNameOnlyWhatIsThere(drive, run);
    record = fs::DriveRecord::load(*root, &app::DestinationLayout::collisionKey);
    const std::string& where = taken ? earlier : composed;
    EXPECT_EQ(record->entries.at(app::DestinationLayout::collisionKey(where)).path, where);
    EXPECT_EQ(exportJson(dir / "Library.xml", drive)["renamed"], 0);
  }
}

TEST(ExportEndToEnd, ToTheFakeDrivesFat32VolumeAndNotToItsReadOnlyOne) {
  testsupport::TempDir dir;
  std::string fake = TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive";
  std::string volume = dir / "mounts/media/alex/TESSA MUSIC";
  stdfs::create_directories(volume);
  makeSample(dir / "lib");
  std::string env = "XDG_CONFIG_HOME=" + shellQuoted(dir / "config") +
                    " TESSALINE_FAKE_MOUNTS=" + shellQuoted(dir / "mounts") + " ";
  std::string exporting = "--fake-hardware " + shellQuoted(fake) + " export --library " +
                          shellQuoted(dir / "lib/Library.xml") + " --yes";
  // Without --to the preselected volume is used.
  EXPECT_EQ(run(exporting, env).status, 0);
  EXPECT_TRUE(stdfs::exists(volume + "/Playlists/Road Trip.m3u8"));
  EXPECT_TRUE(stdfs::exists(volume + "/Music/Björk/Homogenic/01 Jóga.wav"));
  EXPECT_EQ(run(exporting + " --drive ARCHIVE", env).status, 2);
  EXPECT_FALSE(stdfs::exists(dir / "mounts/media/alex/ARCHIVE"));

  // A volume chosen by name is remembered; one remembered but unusable
  // is named with the reason and the volume to take instead; forgotten
  // on request.
  std::string prefs = dir / "config/tessaline/preferences.plist";
  EXPECT_FALSE(stdfs::exists(prefs));
  EXPECT_EQ(run(exporting + " --drive 'TESSA MUSIC'", env).status, 0);
  EXPECT_NE(testsupport::readFile(prefs).find("<string>TESSA MUSIC</string>"), std::string::npos);
  testsupport::writeFile(prefs,
                         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                         "<key>tessaline_disk_name</key><string>ARCHIVE</string></dict></plist>\n");
  Outcome remembered = run(exporting, env);
  EXPECT_EQ(remembered.status, 2);
  EXPECT_NE(remembered.out.find("The remembered volume \"ARCHIVE\" cannot be used: "),
            std::string::npos)
      << remembered.out;
  EXPECT_NE(remembered.out.find("choose it with --drive 'TESSA MUSIC'"), std::string::npos)
      << remembered.out;
  Outcome forget = run("--fake-hardware " + shellQuoted(fake) + " drives --forget", env);
  EXPECT_NE(forget.out.find("Forgot the remembered volume \"ARCHIVE\"."), std::string::npos)
      << forget.out;
  EXPECT_EQ(testsupport::readFile(prefs).find("ARCHIVE"), std::string::npos);
}

namespace {

json lastJson(const Outcome& r) {
  size_t brace = r.out.rfind("\n{\n");
  size_t at = r.out.rfind("{\n", 0) == 0 ? 0 : brace + 1;
  EXPECT_TRUE(at == 0 || brace != std::string::npos) << r.out;
  return json::parse(r.out.substr(at), nullptr, false);
}

size_t filesBelow(const std::string& dir) {
  size_t n = 0;
  for (const auto& e : stdfs::recursive_directory_iterator(dir)) n += e.is_regular_file();
  return n;
}

}  // namespace

// A library kept inside the destination (a home folder given as --to):
// nothing of it may be judged stale.
TEST(ExportSafety, NoCleanUpWhileTheLibraryLiesInsideTheDestination) {
  testsupport::TempDir dir;
  makeSample(dir / "home/Music/iTunes");
  testsupport::writeFile(dir / "home/Music/voice-memo.m4a", "memo");
  size_t before = filesBelow(dir / "home");
  Outcome r = run(exportOf(dir / "home/Music/iTunes/Library.xml", dir / "home") + " --yes");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("No clean-up: the library file " + dir / "home/Music/iTunes/Library.xml" +
                       " lies inside the destination " + dir.path() + "/home"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(stdfs::exists(dir / "home/Music/voice-memo.m4a"));
  EXPECT_GE(filesBelow(dir / "home"), before);

  // The same library reached through a link to a folder of the drive.
  stdfs::create_directories(dir / "drive/Music");
  stdfs::create_directory_symlink(dir / "drive/Music", dir / "linked");
  makeSample(dir / "linked/iTunes");
  before = filesBelow(dir / "drive");
  r = run(exportOf(dir / "linked/iTunes/Library.xml", dir / "drive") + " --yes");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("No clean-up: the library file " + dir / "linked/iTunes/Library.xml" +
                       " lies inside the destination " + dir.path() + "/drive"),
            std::string::npos)
      << r.out;
  EXPECT_GE(filesBelow(dir / "drive"), before);
}

// A stick with music of the user's own: only what the exporter wrote is
// ever deleted, unless --clean-all says otherwise.
TEST(ExportSafety, TheUsersOwnFilesAreKeptUntilCleanAll) {
  testsupport::TempDir dir;
  std::string drive = dir / "drive";
  makeSample(dir / "lib");
  testsupport::writeFile(drive + "/Music/Hand Ripped/01 Mine.mp3", "mine");
  testsupport::writeFile(drive + "/Playlists/mine.m3u8", "#EXTM3U");
  json first = exportJson(dir / "lib/Library.xml", drive);
  EXPECT_EQ(first["status"], "done");
  EXPECT_EQ(first["stale"]["kept"]["files"],
            json::array({drive + "/Playlists/mine.m3u8", drive + "/Music/Hand Ripped/01 Mine.mp3",
                         drive + "/Music/Hand Ripped"}));
  EXPECT_EQ(first["stale"]["kept"]["bytes"], 4 + 7);
  EXPECT_TRUE(first["stale"]["files"].empty());

  json fewer = exportJson(dir / "lib/Library-fewer.xml", drive);
  EXPECT_EQ(fewer["stale"]["files"].size(), 3u);  // the track and its two folders
  EXPECT_EQ(fewer["stale"]["deleted"], true);
  EXPECT_FALSE(stdfs::exists(drive + "/Music/The Beatles"));
  EXPECT_EQ(testsupport::readFile(drive + "/.tessaline/written").find("The Beatles"),
            std::string::npos);
  EXPECT_TRUE(stdfs::exists(drive + "/Music/Hand Ripped/01 Mine.mp3"));
  EXPECT_TRUE(stdfs::exists(drive + "/Playlists/mine.m3u8"));

  json all = exportJson(dir / "lib/Library-fewer.xml", drive, "--clean-all");
  EXPECT_EQ(all["stale"]["deleted"], true);
  EXPECT_FALSE(stdfs::exists(drive + "/Music/Hand Ripped"));
  EXPECT_FALSE(stdfs::exists(drive + "/Playlists/mine.m3u8"));
}

TEST(ExportSafety, EveryExitStatusPrintsAFullReport) {
  testsupport::TempDir dir;
  std::string drive = dir / "drive";
  makeSample(dir / "lib");
  stdfs::create_directories(drive);
  Outcome usage = run(exportOf(dir / "none.xml", drive) + " --yes --json");
  EXPECT_EQ(usage.status, 2);
  json report = lastJson(usage);
  EXPECT_EQ(report["status"], "usage error");
  EXPECT_EQ(report["exitStatus"], 2);
  EXPECT_NE(report["error"].get<std::string>().find("none.xml"), std::string::npos);
  // A stale file whose name is not UTF-8 (Latin-1, as an old stick may
  // hold) is reported, not fatal.
  testsupport::writeFile(drive + "/Music/caf\xE9.mp3", "x");
  Outcome latin = run(exportOf(dir / "lib/Library.xml", drive) + " --yes --json --clean-all");
  EXPECT_EQ(latin.status, 0) << latin.out;
  report = lastJson(latin);
  ASSERT_FALSE(report.is_discarded()) << latin.out;
  EXPECT_EQ(report["stale"]["files"], json::array({drive + "/Music/caf\xEF\xBF\xBD.mp3"}));
  // A track whose place on the drive a folder has taken goes beside it.
  stdfs::remove(drive + "/Music/Björk/Homogenic/01 Jóga.wav");
  stdfs::create_directories(drive + "/Music/Björk/Homogenic/01 Jóga.wav");
  Outcome beside = run(exportOf(dir / "lib/Library.xml", drive) + " --yes --json");
  EXPECT_EQ(beside.status, 0) << beside.out;
  report = lastJson(beside);
  ASSERT_EQ(report["copiedBeside"].size(), 1u);
  EXPECT_EQ(report["copiedBeside"][0]["copiedAs"],
            drive + "/Music/Björk/Homogenic/01 Jóga (2).wav");
  // A track whose source has gone since is not on the drive: a problem.
  stdfs::remove(drive + "/Music/Björk/Homogenic/02 Bachelorette.wav");
  std::string source;
  for (const auto& e : stdfs::recursive_directory_iterator(dir / "lib/Media"))
    if (e.path().filename() == "02 Bachelorette.wav") source = e.path();
  stdfs::remove(source);
  Outcome partial = run(exportOf(dir / "lib/Library.xml", drive) + " --yes --json");
  EXPECT_EQ(partial.status, 1);
  report = lastJson(partial);
  EXPECT_EQ(report["status"], "problems");
  ASSERT_EQ(report["notCopied"].size(), 1u);
  EXPECT_EQ(report["notCopied"][0]["reason"], "the source file is missing (" + source + ")");
}

// A source whose path is longer than the system opens is the source's
// failure, named as such, not a name too long for the drive.
TEST(ExportSafety, ASourcePathLongerThanPathMaxIsTheSourcesFailure) {
  testsupport::TempDir dir;
  std::string source = dir.path();
  int at = open(source.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; source.size() <= PATH_MAX; ++i) {  // made a step at a time
    std::string name = std::to_string(i) + std::string(250, 'x');
    ASSERT_EQ(mkdirat(at, name.c_str(), 0755), 0);
    close(std::exchange(at, openat(at, name.c_str(), O_RDONLY | O_DIRECTORY)));
    source += "/" + name;
  }
  close(openat(at, "song.wav", O_WRONLY | O_CREAT, 0644));
  close(at);
  source += "/song.wav";
  testsupport::writeFile(dir / "Library.xml",
                         libraryXml(trackXml(1, "Long", "A", "file://" + source), 1, "P"));
  stdfs::create_directories(dir / "drive");
  json report = exportJson(dir / "Library.xml", dir / "drive");
  ASSERT_EQ(report["notCopied"].size(), 1u) << report.dump();
  EXPECT_EQ(report["notCopied"][0]["reason"],
            "the source file's path is too long to open (more than 4096 bytes) (" + source + ")");
}

TEST(ExportSafety, EveryExportRemovesUnfinishedCopiesAndOneExportRunsAtATime) {
  testsupport::TempDir dir;
  std::string drive = dir / "drive";
  makeSample(dir / "lib");
  // A run that noted its temporaries (token "1") and was killed; names
  // alone make nothing the exporter's: the user's look-alikes stay.
  testsupport::writeFile(drive + "/.tessaline/temporaries", "run 1\n");
  testsupport::writeFile(drive + "/Music/Old/.tessaline-partial-1.2-song.mp3", "half");
  testsupport::writeFile(drive + "/Music/Mine/.tessaline-partial-notes.txt", "notes");
  testsupport::writeFile(drive + "/Music/Mine/.tessaline-aside-memo.wav", "memo");
  testsupport::writeFile(drive + "/Music/Mine/memo.wav", "memo, newer");
  std::string args = exportOf(dir / "lib/Library.xml", drive) + " --playlist Sunday --yes";
  Outcome r = run(args);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Removed 1 unfinished copy left by an earlier export."), std::string::npos)
      << r.out;
  EXPECT_FALSE(stdfs::exists(drive + "/Music/Old/.tessaline-partial-1.2-song.mp3"));
  EXPECT_EQ(testsupport::readFile(drive + "/Music/Mine/.tessaline-partial-notes.txt"), "notes");
  EXPECT_EQ(testsupport::readFile(drive + "/Music/Mine/.tessaline-aside-memo.wav"), "memo");
  // Not even an export of everything takes them for its own.
  r = run(exportOf(dir / "lib/Library.xml", drive) + " --yes");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(testsupport::readFile(drive + "/Music/Mine/.tessaline-partial-notes.txt"), "notes");
  EXPECT_EQ(testsupport::readFile(drive + "/Music/Mine/.tessaline-aside-memo.wav"), "memo");
  EXPECT_EQ(testsupport::readFile(drive + "/Music/Mine/memo.wav"), "memo, newer");

  int fd = open((drive + "/.tessaline/lock").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  testsupport::writeFile(drive + "/Music/Old/.tessaline-partial-1.3-live.mp3", "live");
  r = run(args);
  EXPECT_EQ(r.status, 4) << r.out;
  EXPECT_NE(r.out.find("Another export to " + drive + " is under way"), std::string::npos) << r.out;
  EXPECT_TRUE(stdfs::exists(drive + "/Music/Old/.tessaline-partial-1.3-live.mp3"));
  close(fd);
}

// A stop at each step: a signal during the load, the copy or the
// clean-up, or the reader of the output going away. Each ends at the next
// safe point with status 130, says how far it got, and leaves no
// temporary behind.
TEST(ExportSafety, AStopAtAnyStepEndsWith130AndLeavesNoTemporary) {
  testsupport::TempDir dir;
  std::string drive = dir / "drive", stale = dir / "stale", out = dir / "out";
  stdfs::create_directories(drive);
  std::string big = bigLibrary(dir), tracks;
  std::vector<std::string> record;
  for (int id = 1; id <= 200000; ++id)  // the load alone takes a while (0.2 s)
    tracks += trackXml(id, "T", "A", "file:///nowhere/t.mp3");
  testsupport::writeFile(dir / "many.xml", libraryXml(tracks, 1, "Many"));
  testsupport::writeFile(dir / "empty.xml", libraryXml("", 0, "Empty"));
  // The exporter's own stale files, listed in more than a pipe holds.
  for (int i = 0; i < 1500; ++i) {
    std::string name = "Music/Old/" + std::to_string(i) + std::string(150, 'x') + ".mp3";
    testsupport::writeFile(stale + "/" + name, "x");
    record.push_back(name);
  }
  recordAsWritten(stale, record);
  // Waits for `cue` in the output (if any) and `delay`, then signals.
  auto stopped = [&](const std::string& args, const std::string& cue, const char* delay,
                     const char* signal) {
    return shellQuoted(kTessaline) + " " + args + " > " + shellQuoted(out) + " 2>&1 & pid=$!; " +
           (cue.empty() ? ""
                        : "for i in $(seq 250); do grep -q " + shellQuoted(cue) + " " +
                              shellQuoted(out) + " && break; sleep 0.02; done; ") +
           "sleep " + delay + "; kill -" + signal + " $pid; wait $pid";
  };
  const std::pair<std::string, std::string> cases[] = {
      {stopped(exportOf(big, drive) + " --yes", "Copying", "0.2", "TERM"), "Interrupted: 0 bytes"},
      // Signalled while the library is read: while the file is open.
      {shellQuoted(kTessaline) + " " + exportOf(dir / "many.xml", drive) + " --yes --json > " +
           shellQuoted(out) +
           " 2>&1 & pid=$!; for i in $(seq 2500); do ls -l /proc/$pid/fd 2>/dev/null | "
           "grep -q many.xml && break; sleep 0.002; done; kill -TERM $pid; wait $pid",
       "Interrupted: nothing was copied"},
      // Signalled while the listing before the clean-up waits for a reader.
      {"mkfifo " + shellQuoted(dir / "fifo") + "; " + shellQuoted(kTessaline) + " " +
           exportOf(dir / "empty.xml", stale) + " --yes -v > " + shellQuoted(dir / "fifo") +
           " 2> " + shellQuoted(out) + " & pid=$!; exec 3< " + shellQuoted(dir / "fifo") +
           "; grep -m1 -q 'Stale files (' <&3; kill -INT $pid; cat <&3 >/dev/null; wait $pid",
       "the clean-up stopped after deleting 0 of 1501 stale items"},
      {shellQuoted(kTessaline) + " " + exportOf(big, drive) + " --yes 2>" + shellQuoted(out) +
           " | head -2 >/dev/null; exit ${PIPESTATUS[0]}",
       "Stopped because standard output was closed: "},
  };
  for (const auto& [command, says] : cases) {
    int status = std::system(("bash -c " + shellQuoted(command)).c_str());
    std::string said = testsupport::readFile(out);
    EXPECT_EQ(WEXITSTATUS(status), 130) << command << "\n" << said.substr(0, 2000);
    EXPECT_NE(said.find(says), std::string::npos)
        << said.substr(said.size() - std::min<size_t>(said.size(), 2000));
    if (command.find("--json") != std::string::npos) {
      EXPECT_NE(said.find("\"status\": \"interrupted\""), std::string::npos) << said;
    }
    for (const auto& e : stdfs::recursive_directory_iterator(drive)) {
      EXPECT_FALSE(e.path().filename().string().rfind(".tessaline-partial-", 0) == 0) << e.path();
    }
  }
  EXPECT_FALSE(stdfs::exists(drive + "/Music/Band/Album/Big.wav"));
  EXPECT_TRUE(stdfs::exists(stale + "/Music/Old"));  // the clean-up stopped short
}

// On a small real file system: a drive that fills up keeps its old
// playlist files, and a stale file that cannot be deleted is reported.
TEST(ExportSafety, AFullDriveKeepsItsPlaylistFilesAndUndeletableFilesAreReported) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  testsupport::TempDir dir;
  std::string drive = dir / "drive";
  stdfs::create_directories(drive);
  if (std::system(
          ("mount -t tmpfs -o size=2m tessaline-test " + shellQuoted(drive) + " 2>/dev/null")
              .c_str()) != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { std::system(("umount -l " + path + " 2>/dev/null").c_str()); }
  } unmount{shellQuoted(drive)};
  makeSample(dir / "lib");
  json first = exportJson(dir / "lib/Library.xml", drive);
  ASSERT_EQ(first["status"], "done");
  std::string roadTrip = testsupport::readFile(drive + "/Playlists/Road Trip.m3u8");

  // Full: every playlist file fails to be replaced and stays as it was.
  stdfs::create_directories(drive + "/again");
  std::system(
      ("dd if=/dev/zero of=" + shellQuoted(drive + "/filler") + " bs=64k 2>/dev/null").c_str());
  // (Entries from the root: every file's text changes, so each is written.)
  Outcome full = run(exportOf(dir / "lib/Library.xml", drive) +
                     " --yes --json --no-clean --playlist-format m3u8-root");
  EXPECT_EQ(full.status, 1) << full.out;
  json report = lastJson(full);
  EXPECT_EQ(report["status"], "problems");
  EXPECT_TRUE(report["playlistFiles"].empty());
  EXPECT_EQ(report["playlistFilesNotWritten"].size(), 5u);
  EXPECT_EQ(testsupport::readFile(drive + "/Playlists/Road Trip.m3u8"), roadTrip);
  // A whole export into what is left does not fit.
  EXPECT_EQ(run(exportOf(dir / "lib/Library.xml", drive + "/again") + " --yes").status, 3);
  stdfs::remove(drive + "/filler");

  // A stale playlist file held by a mount cannot go (the file mounted
  // over it is its own copy, so it still is as the exporter wrote it).
  std::string sunday = drive + "/Playlists/Sunday.m3u8";
  ASSERT_EQ(std::system(("cp -p " + shellQuoted(sunday) + " " + shellQuoted(dir / "held")).c_str()),
            0);
  ASSERT_EQ(std::system(
                ("mount --bind " + shellQuoted(dir / "held") + " " + shellQuoted(sunday)).c_str()),
            0);
  Outcome fewer = run(exportOf(dir / "lib/Library-fewer.xml", drive) + " --yes --json");
  std::system(("umount " + shellQuoted(sunday)).c_str());
  EXPECT_EQ(fewer.status, 1) << fewer.out;
  report = lastJson(fewer);
  EXPECT_EQ(report["stale"]["deleted"], false);
  bool listed = false;
  for (const auto& item : report["stale"]["items"]) {
    if (item["path"] != sunday) continue;
    listed = true;
    EXPECT_EQ(item["deleted"], false);
    EXPECT_FALSE(item["reason"].get<std::string>().empty());
  }
  EXPECT_TRUE(listed) << report["stale"].dump();
  EXPECT_TRUE(stdfs::exists(sunday));
}

// A folder under /mnt is a drive's only with something mounted on its way
// down, a bind mount of the same file system too; a bare mount point is
// refused before anything is written.
TEST(ExportSafety, AFolderUnderMntWithNothingMountedIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount below /mnt";
  char made[] = "/mnt/tessaline-test-XXXXXX";
  if (mkdtemp(made) == nullptr) GTEST_SKIP() << "cannot make a folder below /mnt";
  struct Undo {
    std::string top;
    ~Undo() {
      std::system(("umount -l " + shellQuoted(top + "/drive") + " 2>/dev/null").c_str());
      stdfs::remove_all(top);
    }
  } undo{made};
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  std::string drive = undo.top + "/drive", music = drive + "/Music";
  stdfs::create_directories(music);
  stdfs::create_directories(undo.top + "/elsewhere/Music");
  const std::pair<std::string, int> cases[] = {
      {"true", 2},
      {"mount -t tmpfs tessaline-test " + shellQuoted(drive) + " && mkdir " + shellQuoted(music),
       0},
      {"mount --bind " + shellQuoted(undo.top + "/elsewhere") + " " + shellQuoted(drive), 0},
  };
  for (const auto& [mount, status] : cases) {
    if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "cannot mount: " << mount;
    Outcome r = run(exportOf(dir / "lib/Library.xml", music) + " --yes");
    EXPECT_EQ(r.status, status) << mount << "\n" << r.out;
    std::string refusal =
        "nothing is mounted at " + music + " (it is a folder on the same file system as /mnt";
    EXPECT_EQ(r.out.find(refusal) != std::string::npos, status == 2) << r.out;
    EXPECT_EQ(stdfs::exists(music + "/Playlists"), status == 0);
    std::system(("umount " + shellQuoted(drive) + " 2>/dev/null").c_str());
  }
  EXPECT_TRUE(stdfs::is_empty(music));
}

// Killed outright (SIGKILL: no handler runs) at ten moments of a copy of
// about 100 MB in 50 files: no file under a final name ever differs from
// its source, and a rerun completes the export byte for byte.
TEST(ExportSafety, AKillAtAnyMomentLeavesNoWrongTrackAndARerunCompletes) {
  testsupport::TempDir dir;
  std::string tracks;
  std::vector<std::pair<std::string, std::string>> copies;  // source, destination
  for (int id = 1; id <= 50; ++id) {
    std::string name = "Track " + std::to_string(id) + ".wav";
    std::string src = dir / ("src/" + name);
    std::string bytes(2 << 20, static_cast<char>('A' + id % 26));
    bytes[id] = '!';
    testsupport::writeFile(src, bytes);
    tracks += trackXml(id, name, "Album", "file://" + src);
    copies.emplace_back(src, "/Music/Band/Album/" + name);
  }
  testsupport::writeFile(dir / "Library.xml", libraryXml(tracks, 50, "All"));
  auto expectNoWrongTrack = [&](const std::string& drive) {
    size_t named = 0;
    for (const auto& [src, rel] : copies) {
      if (!stdfs::exists(drive + rel)) continue;
      ++named;
      EXPECT_TRUE(testsupport::readFile(drive + rel) == testsupport::readFile(src))
          << drive + rel << " differs";
    }
    return named;
  };
  // The moments are found by watching the album folder fill: the kill
  // comes once 5, 10, ... 50 entries (copies under way or named) stand
  // there, whatever the machine's speed.
  auto entries = [](const std::string& folder) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = stdfs::directory_iterator(folder, ec); !ec && it != stdfs::directory_iterator();
         it.increment(ec))
      ++n;
    return n;
  };
  std::string drive;
  for (size_t moment = 1; moment <= 10; ++moment) {
    drive = dir / ("drive" + std::to_string(moment));
    stdfs::create_directories(drive);
    std::string library = dir / "Library.xml";
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl(kTessaline.c_str(), "tessaline", "export", "--library", library.c_str(), "--to",
            drive.c_str(), "--yes", static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(pid, 0);
    for (int waited = 0; waited < 20000 && entries(drive + "/Music/Band/Album") < 5 * moment;
         ++waited)
      usleep(500);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    SCOPED_TRACE("killed at " + std::to_string(5 * moment) + " entries");
    expectNoWrongTrack(drive);
  }
  Outcome rerun = run(exportOf(dir / "Library.xml", drive) + " --yes");
  EXPECT_EQ(rerun.status, 0) << rerun.out;
  EXPECT_EQ(expectNoWrongTrack(drive), copies.size());
}

// The script example copies onto an existing drive folder and refuses a
// missing one rather than making it.
TEST(ExportSafety, TheBridgeExampleWritesOnlyToADriveThatIsThere) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  std::string example = "ExtScriptParam=2 python3 " +
                        shellQuoted(TESSALINE_SOURCE_DIR "/examples/export_via_bridge.py") + " " +
                        shellQuoted(kTessaline) + " " + shellQuoted(dir / "lib/Library.xml") + " ";
  EXPECT_NE(std::system((example + shellQuoted(dir / "unmounted") + " >/dev/null 2>&1").c_str()),
            0);
  EXPECT_FALSE(stdfs::exists(dir / "unmounted"));
  stdfs::create_directories(dir / "drive");
  ASSERT_EQ(std::system((example + shellQuoted(dir / "drive") + " >/dev/null 2>&1").c_str()), 0);
  EXPECT_TRUE(stdfs::exists(dir / "drive/Music/Björk/Homogenic/01 Jóga.wav"));
  EXPECT_TRUE(stdfs::exists(dir / "drive/Playlists/Road Trip.m3u8"));
  EXPECT_NE(testsupport::readFile(dir / "drive/Music/.tessaline/written")
                .find("Björk/Homogenic/01 Jóga.wav"),
            std::string::npos);
  // The command line lays the library out the same way: the same tree
  // (it also copies cover images), and on the script's drive nothing to
  // copy and nothing stale.
  auto tree = [](const std::string& root) {
    std::set<std::string> files;
    for (const auto& e : stdfs::recursive_directory_iterator(root)) {
      std::string path = e.path().string().substr(root.size());
      if (path.find("/.tessaline") == std::string::npos && e.path().filename() != "folder.jpg")
        files.insert(path);
    }
    return files;
  };
  stdfs::create_directories(dir / "cli");
  exportJson(dir / "lib/Library.xml", dir / "cli");
  EXPECT_EQ(tree(dir / "drive"), tree(dir / "cli"));
  json mixed = exportJson(dir / "lib/Library.xml", dir / "drive");
  EXPECT_EQ(mixed["bytesToCopy"], 0);
  EXPECT_TRUE(mixed["stale"]["files"].empty()) << mixed["stale"];
}

// A copy that takes a while, with standard error on a pseudo-terminal of
// a given width and standard output into a pipe: the plan arrives in the
// pipe while the copy is under way, every redraw of the progress line
// stays within the width, and without a UTF-8 locale it is plain ASCII.
TEST(CommandLine, ProgressLineFitsTheTerminalAndPipedOutputArrivesAtOnce) {
  struct Case {
    unsigned short width;
    const char* lang;
    bool ascii;
  };
  for (const Case& c : {Case{40, "C.UTF-8", false}, Case{80, "C", true}}) {
    SCOPED_TRACE(c.width);
    testsupport::TempDir dir;
    std::string library = bigLibrary(dir), drive = dir / "drive";
    stdfs::create_directories(drive);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    struct winsize size {};
    size.ws_col = c.width;
    ASSERT_EQ(ioctl(slave, TIOCSWINSZ, &size), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      dup2(slave, 2);
      setenv("LANG", c.lang, 1);
      unsetenv("LC_ALL");
      unsetenv("LC_CTYPE");
      setenv("TERM", "xterm", 1);
      execl(kTessaline.c_str(), "tessaline", "export", "--library", library.c_str(), "--to",
            drive.c_str(), "--yes", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(slave);
    close(out[1]);
    std::string terminal, piped;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::count(terminal.begin(), terminal.end(), '\r') < 4 &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd fds[2] = {{master, POLLIN, 0}, {out[0], POLLIN, 0}};
      if (poll(fds, 2, 100) <= 0) continue;
      char buf[4096];
      for (int i = 0; i < 2; ++i) {
        ssize_t n = fds[i].revents & POLLIN ? read(fds[i].fd, buf, sizeof buf) : 0;
        if (n > 0) (i == 0 ? terminal : piped).append(buf, static_cast<size_t>(n));
      }
    }
    // Still copying: what was said so far is already in the pipe.
    EXPECT_NE(piped.find("Copying..."), std::string::npos) << piped;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    close(out[0]);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_GE(std::count(terminal.begin(), terminal.end(), '\r'), 4) << terminal;
    std::string plain =
        replaceAll(std::regex_replace(terminal, std::regex("\x1b\\[K"), ""), "\r", "\n");
    std::istringstream lines(plain);
    for (std::string line; std::getline(lines, line);) {
      size_t columns =
          std::count_if(line.begin(), line.end(), [](char ch) { return (ch & 0xC0) != 0x80; });
      EXPECT_LT(columns, c.width) << line;
    }
    EXPECT_NE(plain.find(" of 3.00 GB"), std::string::npos) << plain;
    bool ascii =
        std::all_of(terminal.begin(), terminal.end(), [](char ch) { return (ch & 0x80) == 0; });
    EXPECT_EQ(ascii, c.ascii) << terminal;
  }
}

// An old Mac library whose media folder now lies in this home folder: the
// dry run says which --map-prefix to give; with it every file is found.
TEST(CommandLine, DryRunSuggestsThePrefixOfALibraryFromAnotherComputer) {
  testsupport::TempDir dir;
  makeSample(dir / "made");
  std::string media = dir / "home/Music/iTunes/iTunes Media";
  stdfs::create_directories(stdfs::path(media).parent_path());
  stdfs::rename(dir / "made/Media", media);
  std::string xml = testsupport::readFile(dir / "made/Library.xml");
  testsupport::writeFile(dir / "home/Downloads/Library.xml",
                         replaceAll(xml, "file://" + replaceAll(dir / "made/Media", " ", "%20"),
                                    "file:///Users/me/Music/iTunes/iTunes%20Media"));
  stdfs::create_directories(dir / "drive");
  std::string args = exportOf(dir / "home/Downloads/Library.xml", dir / "drive");
  std::string env = "HOME=" + shellQuoted(dir / "home") + " ";
  Outcome dry = run(args + " -n", env);
  EXPECT_EQ(dry.status, 0) << dry.out;
  std::string prefix = "/Users/me/Music/iTunes/iTunes Media=" + media;
  EXPECT_NE(dry.out.find("Missing: 19 tracks to copy have no file on this computer"),
            std::string::npos)
      << dry.out;
  EXPECT_NE(dry.out.find("--map-prefix '" + prefix + "'"), std::string::npos) << dry.out;
  json mapped = lastJson(run(args + " --yes --json --map-prefix " + shellQuoted(prefix), env));
  EXPECT_EQ(mapped["status"], "done");
  EXPECT_EQ(mapped["missingSources"]["count"], 0);
  EXPECT_EQ(mapped["copied"].size(), 19u);
}

// Playlist files in each format list the same tracks, spelled as the
// format needs; tracks the drive cannot play are named in the plan.
TEST(CommandLine, PlaylistFormatsAndTracksTheDriveCannotPlay) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  std::string drive = dir / "drive";
  testsupport::writeFile(drive + "/Playlists/mine.m3u", "#EXTM3U");
  const std::tuple<std::string, std::string, std::string, size_t, size_t> cases[] = {
      {"--playlist-format m3u8-root --formats mp3,M4A", "Road Trip.m3u8",
       "\n/Music/Bj\xC3\xB6rk/Homogenic/01 J\xC3\xB3ga.wav", 0, 19},
      {"--playlist-format m3u --formats wav", "Road Trip.m3u",
       "\n#EXTINF:3,Bj\xF6rk - J\xF3ga\n..\\Music\\Bj\xF6rk\\Homogenic\\01 J\xF3ga.wav", 4, 0},
      {"--playlist-format m3u-root --clean-all", "World.m3u",
       "\n\\Music\\Caf\xE9 Tacvba\\Re\\05 La Ingrata.wav", 4, 0},
  };
  for (const auto& [args, file, has, notEncodable, unplayable] : cases) {
    json report = exportJson(dir / "lib/Library.xml", drive, args);
    EXPECT_NE(testsupport::readFile(drive + "/Playlists/" + file).find(has), std::string::npos)
        << args;
    EXPECT_EQ(report["leftOutOfPlaylistFiles"].size(), notEncodable) << args;
    EXPECT_EQ(report["unplayable"].size(), unplayable) << args;
  }
  // The files of the format no longer written went with the clean-up;
  // an .m3u file of the user's stays even then.
  EXPECT_FALSE(stdfs::exists(drive + "/Playlists/Road Trip.m3u8"));
  EXPECT_TRUE(stdfs::exists(drive + "/Playlists/mine.m3u"));
}

// The drive's .is_audio_player moves the playlist files and renames and
// converts the covers: the plan says where each setting came from, what
// an earlier profile had the exporter write goes, and a rerun does nothing.
TEST(CommandLine, TheDrivesProfileSaysWherePlaylistFilesAndCoversGo) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  const std::string drive = dir / "drive", lib = dir / "lib/Library.xml";
  testsupport::writeFile(drive + "/.is_audio_player",
                         "playlist_path=/Lists/%File\ncover_art_file_name=cover.jpg\n");
  Outcome first = run(exportOf(lib, drive) + " --yes");
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_NE(first.out.find("playlist folder: Lists/ (.is_audio_player line 1)\n"),
            std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find("Cover images: 3 \"cover.jpg\" written."), std::string::npos);
  EXPECT_EQ(first.out.find("not followed"), std::string::npos);
  EXPECT_TRUE(stdfs::exists(drive + "/Lists/World.m3u8"));
  EXPECT_FALSE(stdfs::exists(drive + "/Playlists"));

  testsupport::writeFile(drive + "/.is_audio_player",
                         "playlist_path=%File\ncover_art_file_type=png\ncover_art_size=64\n");
  json second = exportJson(lib, drive);
  expectPlaylistsNameOnlyWhatIsThere(drive, second, "");
  EXPECT_EQ(second["coverImages"], 3);
  EXPECT_EQ(second["player"]["coverName"]["value"], "folder.png");
  EXPECT_EQ(second["player"]["coverSize"]["from"], ".is_audio_player line 3");
  EXPECT_EQ(second["stale"]["playlistFiles"].size(), second["playlistFiles"].size());
  EXPECT_TRUE(stdfs::is_empty(drive + "/Lists"));
  size_t pngs = 0;
  for (const auto& e : stdfs::recursive_directory_iterator(drive + "/Music")) {
    EXPECT_NE(e.path().filename(), "cover.jpg");
    if (e.path().filename() == "folder.png")
      pngs += testsupport::readFile(e.path()).substr(0, 4) == "\x89PNG";
  }
  EXPECT_EQ(pngs, 3u);

  json third = exportJson(lib, drive);
  EXPECT_EQ(third["bytesToCopy"], 0);
  EXPECT_EQ(third["coverImages"], 0);
  EXPECT_TRUE(third["stale"]["files"].empty());
  EXPECT_TRUE(third["stale"]["playlistFiles"].empty());
  // The drive's own check finds the converted covers as they were written.
  Outcome checked = run("check " + shellQuoted(drive));
  EXPECT_EQ(checked.status, 0) << checked.out;

  // Another music folder: the copies move there, none is copied again,
  // and the playlist files list them there.
  testsupport::writeFile(drive + "/.is_audio_player",
                         "audio_folders=Audio/\nplaylist_path=%File\n");
  Outcome moved = run(exportOf(lib, drive) + " --yes");
  EXPECT_EQ(moved.status, 0) << moved.out;
  EXPECT_NE(moved.out.find("music folder: Audio/ (.is_audio_player line 1)\n"), std::string::npos)
      << moved.out;
  EXPECT_NE(moved.out.find("Moved when exported: "), std::string::npos) << moved.out;
  EXPECT_NE(moved.out.find(" on the drive into Audio/.\n"), std::string::npos) << moved.out;
  EXPECT_EQ(moved.out.find("Copied"), std::string::npos) << moved.out;
  EXPECT_FALSE(stdfs::exists(drive + "/Music"));
  json after = exportJson(lib, drive);
  expectPlaylistsNameOnlyWhatIsThere(drive, after, "", "/Audio");
  EXPECT_EQ(after["bytesToCopy"], 0);
  EXPECT_TRUE(after["toMove"].empty());
  EXPECT_EQ(run("check " + shellQuoted(drive)).status, 0);
}

// Files missing from a folder that is here are said to be so (no
// --map-prefix onto itself), once; --quiet keeps the problems and the
// last line; stale files are summed up unless --verbose.
TEST(CommandLine, MissingAndStaleFilesAreToldOnceAndInShort) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  stdfs::remove_all(dir / "lib/Media/Music/Bj\xC3\xB6rk");
  std::string drive = dir / "drive";
  std::vector<std::string> record;
  for (int i = 0; i < 12; ++i) {  // the exporter's own stale files
    testsupport::writeFile(drive + "/Music/Old/" + std::to_string(i) + ".mp3", "x");
    record.push_back("Music/Old/" + std::to_string(i) + ".mp3");
  }
  recordAsWritten(drive, record);
  std::string args = exportOf(dir / "lib/Library.xml", drive);
  std::string missing = "Missing: 2 files are missing from " + dir / "lib/Media" + ", such as " +
                        dir / "lib/Media/Music/Bj\xC3\xB6rk/Homogenic/01 J\xC3\xB3ga.wav.\n";
  const std::tuple<std::string, std::string, bool> cases[] = {
      {" -n", missing, true},
      {" -n", "--map-prefix", false},
      {" -n", "stale files: 12 (12 bytes)\n", true},
      {" -n",
       "Stale files (12 files and 1 folder, 12 bytes):\n  Music/Old/0.mp3\n  Music/Old/1.mp3\n"
       "  Music/Old/10.mp3\n",
       true},
      {" -n", "  Music/Old/7.mp3\n  ... and 2 more (-v lists them all)\n", true},
      {" -n -v", "  Music/Old/9.mp3\nStale files kept.\n", true},
      {" --yes -q",
       missing + "2 tracks were not copied: their files are missing (see above).\n"
                 "Finished with problems.\n",
       true},
  };
  for (const auto& [extra, text, present] : cases) {
    Outcome r = run(args + extra);
    EXPECT_EQ(r.out.find(text) != std::string::npos, present) << extra << "\n" << r.out;
    if (extra.find("-q") != std::string::npos) {
      EXPECT_EQ(r.out, text);
    }
  }
}

// The words a person types: commands, help, a playlist's name in any
// case, a folder, a near miss, a mistyped option; and the question goes
// to the terminal, once, with the output in a file.
TEST(CommandLine, WordsAndAnswers) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  stdfs::create_directories(dir / "drive");
  std::string lib = " --library " + shellQuoted(dir / "lib/Library.xml");
  std::string dry = "export" + lib + " --to " + shellQuoted(dir / "drive") + " -n --json";
  // Two folders, each inside the other.
  auto folder = [](const char* id, const char* parent) {
    return std::string("<dict><key>Name</key><string>") + id +
           "</string><key>Playlist Persistent ID</key><string>" + id +
           "</string><key>Parent Persistent ID</key><string>" + parent +
           "</string><key>Folder</key><true/></dict>";
  };
  testsupport::writeFile(dir / "cycle.xml",
                         "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Tracks</key>"
                         "<dict/><key>Playlists</key><array>" +
                             folder("A", "B") + folder("B", "A") + "</array></dict></plist>");
  std::string cycle = " --library " + shellQuoted(dir / "cycle.xml");
  ASSERT_EQ(mkfifo((dir / "fifo.xml").c_str(), 0600), 0);
  std::string fifo = " --library " + shellQuoted(dir / "fifo.xml");
  std::string usage = "\"status\": \"usage error\"";
  const std::tuple<std::string, int, std::string> cases[] = {
      {"--version", 0, "tessaline "},
      {"help", 0, "playlists"},
      {"help export", 0, "Usage: tessaline export"},
      {"export --bogus --json", 2,
       "\"error\": \"The following argument was not expected: --bogus\""},
      {"help nope", 2, "tessaline help: no command is named \"nope\""},
      {dry + " --playlist 'road trip'", 0, "\"name\": \"Road Trip\""},
      {dry + " --playlist nordik", 2, "Did you mean \"Nordic\"?"},
      {"playlists --json" + lib, 0, "\"builtIn\": true"},
      {"playlists" + lib, 0, "Collections/"},
      {"export" + cycle + " --to " + shellQuoted(dir / "drive") + " -n --playlist a", 0,
       "Nothing to copy"},
      {"playlists" + cycle, 0, "A/"},
      {"export --json --quiet --verbose", 2, "\"error\": \"--verbose excludes --quiet\""},
      {"export --json --clean --no-clean", 2, usage},
      {"export --json --drive X --to /tmp", 2, usage},
      {dry + " --absolute-paths --playlist-format m3u", 2,
       "--absolute-paths goes only with --playlist-format m3u8."},
      {"export --json" + lib + " --to " + shellQuoted(dir / "drive"), 5,
       "\"status\": \"declined\""},
      {"export --to /tmp" + fifo, 2, dir / "fifo.xml" + ": not a regular file"},
      {"playlists" + fifo, 2, "not a regular file"},
  };
  for (const auto& [args, status, says] : cases) {
    Outcome r = run(args + " </dev/null", "timeout -k 5 10 ");
    EXPECT_EQ(r.status, status) << args;
    EXPECT_NE(r.out.find(says), std::string::npos) << args << "\n" << r.out;
  }
  EXPECT_EQ(lastJson(run(dry + " --playlist Collections"))["playlists"].size(),
            2u);  // both in the folder

  std::string asked = dir / "asked", log = dir / "out.log";
  int status = std::system((shellQuoted(kTessaline) + " export" + lib + " --to " +
                            shellQuoted(dir / "drive") + " 2>" + shellQuoted(asked) + " >" +
                            shellQuoted(log) + " </dev/null")
                               .c_str());
  EXPECT_EQ(WEXITSTATUS(status), 5);
  std::string question = "Copy 19 tracks (328.9 KB) and write 5 playlist files to " + dir / "drive";
  EXPECT_NE(testsupport::readFile(asked).find(question + "? [y/N]"), std::string::npos);
  EXPECT_EQ(testsupport::readFile(log).find("[y/N]"), std::string::npos);
  EXPECT_EQ(testsupport::readFile(log).find("This script will"), std::string::npos);
}

TEST(CommandLine, CountsSetTheirThousandsApart) {
  for (auto [n, text] :
       {std::pair<uint64_t, std::string>{999, "999"}, {1000, "1,000"}, {123456789, "123,456,789"}})
    EXPECT_EQ(app::numberText(n), text);
}

// tessaline is built without Qt: an export, dry or not, loads none of it
// (the dynamic loader names every library it loads, opened late or not).
TEST(FrontProgram, ExportsWithoutLoadingQt) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  stdfs::create_directories(dir / "drive");
  for (const char* how : {" --dry-run", " --yes"}) {
    stdfs::create_directories(dir / "trace");
    Outcome r = run(exportOf(dir / "lib/Library.xml", dir / "drive") + how,
                    "LD_DEBUG=files LD_DEBUG_OUTPUT=" + shellQuoted(dir / "trace/ld") + " ");
    EXPECT_EQ(r.status, 0) << r.out;
    std::string loaded;
    for (const auto& e : stdfs::directory_iterator(dir / "trace")) {
      loaded += testsupport::readFile(e.path());
    }
    EXPECT_NE(loaded.find("file=libc.so.6"), std::string::npos) << how;
    EXPECT_EQ(loaded.find("libQt6"), std::string::npos) << how;
    stdfs::remove_all(dir / "trace");
  }
  EXPECT_TRUE(stdfs::exists(dir / "drive/Playlists/Road Trip.m3u8"));
}

// What draws still draws when asked of tessaline: it reaches tessaline-qt
// beside it; where that is missing, the user is told which file and why.
TEST(FrontProgram, DrawingCommandsReachTheProgramThatDraws) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  stdfs::create_directories(dir / "drive");
  stdfs::create_directories(dir / "alone");
  std::string alone = dir / "alone/tessaline";
  stdfs::copy_file(kTessaline, alone);
  std::string copy = " " + exportOf(dir / "lib/Library.xml", dir / "drive") + " --yes";
  std::string missing = "tessaline: cannot run " + dir / "alone/tessaline-qt" +
                        ", which this command needs: No such file or directory";
  const std::tuple<std::string, std::string, int, std::string, std::string> cases[] = {
      {kTessaline, "dock-tile --max 10 --value 5 -o", 0, "", "tile.png"},
      {kTessaline, "--dock-tile", 0, copy, "run.png"},
      {alone, "dock-tile -o", 127, "", "lost.png"},
      {alone, "--dock-tile", 127, copy, "lost.png"},
  };
  for (const auto& [program, args, status, then, png] : cases) {
    Outcome r = run(args + " " + shellQuoted(dir / png) + then, "", program);
    EXPECT_EQ(r.status, status) << args << "\n" << r.out;
    if (status == 0) {
      EXPECT_EQ(testsupport::readFile(dir / png).rfind("\x89PNG", 0), 0u) << args;
    } else {
      EXPECT_NE(r.out.find(missing), std::string::npos) << r.out;
      EXPECT_FALSE(stdfs::exists(dir / png));
    }
  }
  Outcome gui = run("gui", "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ");
  EXPECT_EQ(gui.status, 2);
  EXPECT_NE(gui.out.find("tessaline gui: no display to open the window on"), std::string::npos);
}
