// What the drive holds after an export, whatever the owner did between
// exports: every entry the exporter's playlist files keep plays its track,
// the owner's files and edits stay, and exit 1 means something was not done.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "support/TempDir.h"

namespace stdfs = std::filesystem;
using nlohmann::json;

namespace {

std::string shellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Exported {
  int status;
  std::string out;
  json report;  // with --json
};

Exported tessaline(const std::string& args, const std::string& input = "",
                   const std::string& prefix = "") {
  std::string command = (input.empty() ? "" : "printf " + shellQuoted(input) + " | ") + prefix +
                        shellQuoted(TESSALINE_EXECUTABLE) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  int status = pclose(pipe);
  Exported r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, nullptr};
  size_t brace = out.find("{\n");
  if (brace != std::string::npos) r.report = json::parse(out.substr(brace), nullptr, false);
  return r;
}

// The sample library, a drive, and changes to the library made with
// Python's plistlib (`edit` is Python over `lib`, the parsed library).
struct Sample {
  testsupport::TempDir dir;
  std::string library = dir / "library/Library.xml", drive = dir / "drive";
  Sample() {
    stdfs::create_directories(drive);
    EXPECT_EQ(std::system(("python3 " +
                           shellQuoted(TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py") +
                           " " + shellQuoted(dir / "library") + " >/dev/null")
                              .c_str()),
              0);
  }
  void edit(const std::string& python) const {
    std::string script = "import plistlib,sys\nf=sys.argv[1]\nlib=plistlib.load(open(f,'rb'))\n" +
                         python + "\nplistlib.dump(lib,open(f,'wb'),sort_keys=False)\n";
    ASSERT_EQ(
        std::system(("python3 -c " + shellQuoted(script) + " " + shellQuoted(library)).c_str()), 0);
  }
  Exported exportAll(const std::string& extra = "") const {
    return tessaline("export --library " + shellQuoted(library) + " --to " + shellQuoted(drive) +
                     " --yes --json " + extra);
  }
  // Every entry of every playlist file the export reported resolves to a
  // file below Music; the entries, by file name.
  // The owner's own files (`owners`) list what the owner wants.
  std::map<std::string, std::vector<std::string>> entries(
      const json& report, const std::set<std::string>& owners = {}) const {
    std::map<std::string, std::vector<std::string>> out;
    for (const auto& name : report["playlistFiles"]) out[name.get<std::string>()];
    for (const auto& entry : stdfs::directory_iterator(drive + "/Playlists")) {
      std::string name = entry.path().filename().string();
      if (owners.count(name)) continue;
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        out[name].push_back(line);
        stdfs::path played = (stdfs::path(drive + "/Playlists") / line).lexically_normal();
        EXPECT_TRUE(stdfs::is_regular_file(played))
            << name << " lists " << line << ", which is not there";
      }
    }
    return out;
  }
};

bool lists(const std::vector<std::string>& entries, const std::string& part) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const std::string& e) { return e.find(part) != std::string::npos; });
}

TEST(TargetState, AnUncheckedTrackIsNeitherListedNorKept) {
  Sample s;
  Exported first = s.exportAll();
  ASSERT_EQ(first.status, 0) << first.out;
  ASSERT_TRUE(lists(s.entries(first.report)["Nordic.m3u8"], "Jóga"));
  s.edit("lib['Tracks']['1000']['Disabled']=True");
  Exported second = s.exportAll();
  EXPECT_EQ(second.status, 0) << second.out;
  auto entries = s.entries(second.report);
  EXPECT_FALSE(lists(entries["Nordic.m3u8"], "Jóga"));
  EXPECT_FALSE(lists(entries["Road Trip.m3u8"], "Jóga"));
  EXPECT_FALSE(stdfs::exists(s.drive + "/Music/Björk/Homogenic/01 Jóga.wav"));
  // --all-tracks copies and lists it again.
  Exported all = s.exportAll("--all-tracks");
  EXPECT_EQ(all.status, 0) << all.out;
  EXPECT_TRUE(lists(s.entries(all.report)["Nordic.m3u8"], "Jóga"));
}

TEST(TargetState, FilesKeptByAnExportOfOnePlaylistKeepTheirTracks) {
  Sample s;
  ASSERT_EQ(s.exportAll().status, 0);
  // "World" is removed from the library and "Nordic" renamed: their files
  // stay on the drive, and what they list must stay with them.
  s.edit(
      "lib['Playlists']=[p for p in lib['Playlists'] if p['Name']!='World']\n"
      "[p.update(Name='Nordic Sounds') for p in lib['Playlists'] if p['Name']=='Nordic']");
  Exported one = s.exportAll("--playlist 'Road Trip' --clean");
  EXPECT_EQ(one.status, 0) << one.out;
  auto entries = s.entries(one.report);
  EXPECT_EQ(entries["World.m3u8"].size(), 6u);
  EXPECT_EQ(entries["Nordic.m3u8"].size(), 4u);
  // An export of every playlist makes both stale, and their tracks with them.
  Exported all = s.exportAll();
  EXPECT_EQ(all.status, 0) << all.out;
  EXPECT_FALSE(stdfs::exists(s.drive + "/Playlists/World.m3u8"));
  EXPECT_FALSE(stdfs::exists(s.drive + "/Music/Café Tacvba"));
  s.entries(all.report);
}

// A copy changed on the drive: cut short (a prefix of its source) is
// replaced; any other change is the owner's, kept as it is, and the track
// is copied again beside it.
TEST(TargetState, ACopyCutShortIsReplacedAndAnEditedOneKept) {
  struct Row {
    const char* what;
    std::function<void(const std::string& path)> change;
    bool kept;
  };
  const std::vector<Row> rows = {
      {"cut short", [](const std::string& p) { stdfs::resize_file(p, stdfs::file_size(p) / 2); },
       false},
      {"tags appended",
       [](const std::string& p) { std::ofstream(p, std::ios::app | std::ios::binary) << "TAG"; },
       true},
      {"edited into a smaller file",
       [](const std::string& p) { testsupport::writeFile(p, "RIFF edited by a tag editor"); },
       true},
      {"same size, other bytes",
       [](const std::string& p) {
         std::string bytes = testsupport::readFile(p);
         bytes[bytes.size() / 2] ^= 0x5a;
         testsupport::writeFile(p, bytes);
       },
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Sample s;
    ASSERT_EQ(s.exportAll().status, 0);
    std::string copy = s.drive + "/Music/Björk/Homogenic/02 Bachelorette.wav";
    ASSERT_TRUE(stdfs::exists(copy));
    row.change(copy);
    // A time the copy never had, as an editor leaves it.
    stdfs::last_write_time(copy, stdfs::last_write_time(copy) + std::chrono::hours(1));
    std::string changed = testsupport::readFile(copy);
    Exported again = s.exportAll();
    EXPECT_EQ(again.status, 0) << again.out;
    auto entries = s.entries(again.report);
    std::string beside = s.drive + "/Music/Björk/Homogenic/02 Bachelorette (2).wav";
    if (row.kept) {
      EXPECT_EQ(testsupport::readFile(copy), changed);
      EXPECT_TRUE(stdfs::exists(beside));
      EXPECT_TRUE(lists(entries["Nordic.m3u8"], "02 Bachelorette (2).wav"));
      EXPECT_FALSE(lists(entries["Nordic.m3u8"], "02 Bachelorette.wav"));
      ASSERT_EQ(again.report["copiedBeside"].size(), 1u) << again.out;
      EXPECT_EQ(again.report["copiedBeside"][0]["changedCopy"], true);
      // Later exports leave both alone, and the owner's file is never stale.
      Exported third = s.exportAll();
      EXPECT_EQ(third.status, 0) << third.out;
      EXPECT_EQ(third.report["copiedBeside"].size(), 0u);
      EXPECT_EQ(testsupport::readFile(copy), changed);
      EXPECT_TRUE(lists(s.entries(third.report)["Nordic.m3u8"], "02 Bachelorette (2).wav"));
    } else {
      EXPECT_NE(testsupport::readFile(copy), changed);
      EXPECT_FALSE(stdfs::exists(beside));
      EXPECT_TRUE(lists(entries["Nordic.m3u8"], "02 Bachelorette.wav"));
    }
  }
}

// The owner's list at a playlist's name, there before the first export or
// saved over the exporter's file since: never replaced, the exporter's
// goes beside it, and that is no failure.
TEST(TargetState, AnOwnersPlaylistFileAtAPlaylistsNameIsKeptAndNoFailure) {
  for (bool overTheExporters : {false, true}) {
    SCOPED_TRACE(overTheExporters ? "saved over the exporter's" : "there first");
    Sample s;
    const std::string mine = "#EXTM3U\nmine.mp3\n", file = s.drive + "/Playlists/Nordic.m3u8";
    if (overTheExporters) {
      ASSERT_EQ(s.exportAll().status, 0);
      stdfs::remove(file);
    }
    testsupport::writeFile(file, mine);
    for (int round = 0; round < 2; ++round) {
      Exported r = s.exportAll();
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(r.report["status"], "done");
      EXPECT_EQ(testsupport::readFile(file), mine);
      EXPECT_EQ(s.entries(r.report, {"Nordic.m3u8"})["Nordic (2).m3u8"].size(), 4u);
    }
  }
}

TEST(TargetState, AnExportWithNothingToChangeAsksNothing) {
  Sample s;
  ASSERT_EQ(s.exportAll().status, 0);
  auto before = stdfs::last_write_time(s.drive + "/Playlists/Nordic.m3u8");
  // Answered "n" if asked: a question would end it with exit 5.
  Exported r = tessaline(
      "export --library " + shellQuoted(s.library) + " --to " + shellQuoted(s.drive), "n\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find('?'), std::string::npos) << r.out;
  EXPECT_EQ(stdfs::last_write_time(s.drive + "/Playlists/Nordic.m3u8"), before);
  // One playlist changed: that file alone is written, after one question.
  s.edit("[p['Playlist Items'].reverse() for p in lib['Playlists'] if p['Name']=='Nordic']");
  Exported changed = tessaline(
      "export --library " + shellQuoted(s.library) + " --to " + shellQuoted(s.drive), "y\n");
  EXPECT_EQ(changed.status, 0) << changed.out;
  EXPECT_NE(changed.out.find("Write 1 playlist file to"), std::string::npos) << changed.out;
}

TEST(TargetState, AMapPrefixThatCannotBeUsedIsAUsageError) {
  Sample s;
  Exported r = s.exportAll("--map-prefix 'C:/M=music'");
  EXPECT_EQ(r.status, 2) << r.out;
  ASSERT_TRUE(r.report.is_object()) << r.out;
  EXPECT_NE(r.report.dump().find("--map-prefix"), std::string::npos) << r.out;
  EXPECT_FALSE(stdfs::exists(s.drive + "/Music"));
}

}  // namespace

namespace {

// The sample exported, then Sunday dropped: its track is the stale file.
struct StaleSunday : Sample {
  std::string stale = drive + "/Music/The Beatles/Abbey Road/20 Here Comes the Sun_.wav";
  std::string fewer = dir / "library/Library-fewer.xml";
  StaleSunday() {
    EXPECT_EQ(exportAll().status, 0);
    EXPECT_TRUE(stdfs::exists(stale));
  }
  std::string exportFewer() const {
    return "export --library " + shellQuoted(fewer) + " --to " + shellQuoted(drive);
  }
};

// A stale file rewritten with its old size and time restored is judged by
// its content, and one changed while the export waits is judged again as
// it is about to go: neither is deleted, and neither is a failure.
TEST(Removals, AFileChangedSinceTheExporterWroteItIsNeverDeleted) {
  for (bool whileWaiting : {false, true}) {
    SCOPED_TRACE(whileWaiting ? "changed while the export waits" : "old time restored");
    StaleSunday s;
    std::string mine = testsupport::readFile(s.stale);
    mine[mine.size() / 2] ^= 0x5a;
    auto change = [&] {
      auto time = stdfs::last_write_time(s.stale);
      testsupport::writeFile(s.stale, mine);
      if (!whileWaiting) stdfs::last_write_time(s.stale, time);
    };
    Exported r;
    if (whileWaiting) {
      // Answers yes to every question, changing the file before the last.
      int toChild[2], fromChild[2];
      ASSERT_EQ(pipe(toChild), 0);
      ASSERT_EQ(pipe(fromChild), 0);
      pid_t child = fork();
      if (child == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        dup2(fromChild[1], 2);
        close(toChild[1]);
        close(fromChild[0]);
        std::string args = s.exportFewer();
        execl("/bin/sh", "sh", "-c", (shellQuoted(TESSALINE_EXECUTABLE) + " " + args).c_str(),
              nullptr);
        _exit(127);
      }
      close(toChild[0]);
      close(fromChild[1]);
      std::string out;
      char buf[4096];
      for (ssize_t n; (n = read(fromChild[0], buf, sizeof buf)) > 0;) {
        out.append(buf, static_cast<size_t>(n));
        if (out.size() >= 2 && out.compare(out.size() - 2, 2, "] ") == 0) {
          if (out.find("Delete them?") != std::string::npos &&
              out.rfind("Delete them?") > out.size() - 20)
            change();
          ASSERT_EQ(write(toChild[1], "y\n", 2), 2);
        }
      }
      close(toChild[1]);
      close(fromChild[0]);
      int status = 0;
      waitpid(child, &status, 0);
      r = {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, nullptr};
      EXPECT_NE(out.find("Delete them?"), std::string::npos) << out;
    } else {
      change();
      r = tessaline(s.exportFewer() + " --yes");
    }
    EXPECT_EQ(r.status, 0) << r.out;
    ASSERT_TRUE(stdfs::exists(s.stale)) << r.out;
    EXPECT_EQ(testsupport::readFile(s.stale), mine);
    EXPECT_NE(r.out.find("Kept " + s.stale), std::string::npos) << r.out;
  }
}

// A clean-up cut short after deleting files but before telling the record,
// files removed by hand, or a playlist file recorded by an export killed
// before it was named: the next export forgets them, cleaning or not, and
// the check agrees with its "Done.".
TEST(Removals, RecordedFilesGoneAreForgottenByTheNextExport) {
  for (const char* next : {" --yes", " --no-clean --yes", " --playlist 'Road Trip' --yes"}) {
    SCOPED_TRACE(next);
    StaleSunday s;
    stdfs::remove(s.stale);
    stdfs::remove(s.drive + "/Playlists/Sunday.m3u8");
    Exported r = tessaline(s.exportFewer() + next);
    EXPECT_EQ(r.status, 0) << r.out;
    Exported check = tessaline("check " + shellQuoted(s.drive));
    EXPECT_EQ(check.status, 0) << check.out;
  }
}

// While an export holds the drive, its files not yet named would read as
// missing: the check says an export is under way (exit 4) and checks
// nothing. --fast says what it compared, and reads no file: an entry
// changed under the playlist file's size and time is the full check's.
TEST(Removals, TheCheckWaitsForAnExportAndSaysWhatFastLookedAt) {
  StaleSunday s;
  const std::string list = s.drive + "/Playlists/Sunday.m3u8";
  struct stat before {};
  ASSERT_EQ(stat(list.c_str(), &before), 0);
  std::string text = testsupport::readFile(list);
  size_t entry = text.rfind(".wav");
  ASSERT_NE(entry, std::string::npos);
  text[entry + 1] = 'W';
  testsupport::writeFile(list, text);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, list.c_str(), times, 0), 0);
  Exported fast = tessaline("check --fast " + shellQuoted(s.drive));
  EXPECT_EQ(fast.status, 0) << fast.out;
  EXPECT_NE(fast.out.find("sizes and times only and resolves no playlist entry"), std::string::npos)
      << fast.out;
  Exported full = tessaline("check --json " + shellQuoted(s.drive));
  EXPECT_EQ(full.status, 1) << full.out;
  EXPECT_EQ(full.report["playlistEntriesNeverCopied"].size(), 1u) << full.out;
  text[entry + 1] = 'w';
  testsupport::writeFile(list, text);
  ASSERT_EQ(utimensat(AT_FDCWD, list.c_str(), times, 0), 0);
  int fd = open((s.drive + "/.tessaline/lock").c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  Exported busy = tessaline("check --json " + shellQuoted(s.drive));
  close(fd);
  EXPECT_EQ(busy.status, 4) << busy.out;
  EXPECT_EQ(busy.report["status"], "busy") << busy.out;
  EXPECT_EQ(tessaline("check " + shellQuoted(s.drive)).status, 0);
}

// A FIFO where the exporter writes one of its own files is refused without
// being opened: the export does not hang holding the drive.
TEST(Removals, AFifoAmongTheExportersFilesHoldsNothingUp) {
  StaleSunday s;
  ASSERT_EQ(mkfifo((s.drive + "/.tessaline/written.new").c_str(), 0644), 0);
  Exported r = tessaline(s.exportFewer() + " --yes --json", "", "timeout -s KILL 20 ");
  EXPECT_TRUE(r.report.is_object()) << r.out;
  EXPECT_FALSE(stdfs::exists(s.stale)) << r.out;
}

// A file only an older list of paths names (an older version's export, a
// script's copy) may have been replaced by the user's since: it is kept,
// and said to be possibly theirs, unless --clean-all.
TEST(Removals, AFileNamedOnlyByAnOlderListIsPossiblyTheUsers) {
  Sample s;
  testsupport::writeFile(s.drive + "/Music/Old/song.mp3", "mine now, or an old copy");
  testsupport::writeFile(s.drive + "/.tessaline/written", "Music/Old/song.mp3\n");
  Exported r = s.exportAll();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(stdfs::exists(s.drive + "/Music/Old/song.mp3"));
  EXPECT_NE(r.out.find("possibly yours"), std::string::npos) << r.out;
  Exported all = s.exportAll("--clean-all");
  EXPECT_EQ(all.status, 0) << all.out;
  EXPECT_FALSE(stdfs::exists(s.drive + "/Music/Old/song.mp3"));
}

}  // namespace

namespace {

// Copies made through the script bridge are recorded by identity as the
// exporter's own are: a later export deletes one that is gone from the
// library while it is as the bridge wrote it, and keeps one the user has
// replaced at that name.
TEST(Removals, AScriptsCopiesAreTheExportersOnlyWhileAsWritten) {
  for (bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "the user's file at the copy's name" : "the copy as written");
    StaleSunday s;
    stdfs::remove_all(s.drive);
    stdfs::create_directories(s.drive);
    std::system(("python3 " + shellQuoted(TESSALINE_SOURCE_DIR "/examples/export_via_bridge.py") +
                 " " + shellQuoted(TESSALINE_EXECUTABLE) + " " + shellQuoted(s.library) + " " +
                 shellQuoted(s.drive) + " >/dev/null 2>&1")
                    .c_str());
    ASSERT_TRUE(stdfs::exists(s.stale));
    ASSERT_NE(testsupport::readFile(s.drive + "/.tessaline/record").find("Here Comes the Sun"),
              std::string::npos);
    if (replaced) testsupport::writeFile(s.stale, "the user's own recording");
    Exported r = tessaline(s.exportFewer() + " --yes");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(stdfs::exists(s.stale), replaced) << r.out;
    if (replaced) {
      EXPECT_EQ(testsupport::readFile(s.stale), "the user's own recording");
    }
    EXPECT_EQ(r.out.find("possibly yours"), std::string::npos) << r.out;
    EXPECT_EQ(tessaline("check " + shellQuoted(s.drive)).status, 0);
  }
}

}  // namespace
