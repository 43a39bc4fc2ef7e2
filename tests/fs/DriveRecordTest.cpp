// The drive's record: any name round-trips, a kill at any byte leaves a
// readable prefix, compaction loses no appender's entry, runs once dead
// lines outweigh live ones, and a kill during it leaves one whole record;
// and the
// exporter's own files are never read through a FIFO or link nor written
// through a snapshot's hard link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "base/Unicode.h"
#include "fs/ContentHash.h"
#include "fs/DriveRecord.h"
#include "support/TempDir.h"

using namespace fs;
using namespace base;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
namespace stdfs = std::filesystem;
constexpr size_t npos = std::string::npos;

namespace {

std::string lower(std::string_view path) {
  std::string key(path);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

RecordEntry entry(const std::string& path, EntryKind kind = EntryKind::kTrack, int n = 1) {
  auto sum = n % 2 ? std::optional<uint64_t>(n * 7) : std::nullopt;
  return {lower(path), path, kind, "T" + std::to_string(n), "L", {n * 10u, n}, {n * 20u, -n}, sum};
}

RecordContents load(const std::string& root) {
  auto loaded = DriveRecord::load(*DestinationRoot::open(root), lower);
  EXPECT_TRUE(loaded.ok()) << loaded.status().message();
  return loaded ? std::move(*loaded) : RecordContents{};
}

std::unique_ptr<DriveRecord> openRecord(const std::string& root) {
  auto record = DriveRecord::open(DestinationRoot::open(root), lower);
  EXPECT_TRUE(record.ok()) << record.status().message();
  return record ? std::move(*record) : nullptr;
}

}  // namespace

TEST(DriveRecord, AnyNameRoundTripsLaterLinesOverrideAndOlderPathsComeBackAsLegacy) {
  TempDir dir;
  std::string written = "Music/Old.mp3\nMUSIC/TAB\tB.MP3\nMusic/Gone.mp3\n";
  writeFile(dir / ".tessaline/written", written);
  std::vector<RecordEntry> entries = {
      entry("Music/tab\tb.mp3"), entry("Music/new\nline\\n.mp3", EntryKind::kTrack, 2),
      entry("Music/back\\slash\r\\t", EntryKind::kCover, 3),
      entry("Playlists/é.m3u8", EntryKind::kPlaylist, 4), entry("Music/F", EntryKind::kFolder, 5)};
  entries[1].conversion = "mp3\tV2";  // a converted track's line has one field more
  auto record = openRecord(dir.path());
  ASSERT_TRUE(record->append(entries, true).ok());
  ASSERT_TRUE(record->append({entry("Music/Gone.mp3")}, false).ok());
  ASSERT_TRUE(record->remove({"music/gone.mp3", "never/recorded"}, false).ok());
  entries[0].drive.size = 99;
  ASSERT_TRUE(record->append({entries[0]}, false).ok());
  RecordEntries expected = {
      {"music/old.mp3", {"music/old.mp3", "Music/Old.mp3", EntryKind::kLegacy}}};
  for (const auto& e : entries) expected[e.key] = e;
  // Compaction keeps the live entries and the one removal that hides an older path.
  for (size_t lines : {9u, 6u}) {
    RecordContents loaded = load(dir.path());
    EXPECT_EQ(loaded.entries, expected);
    EXPECT_EQ(loaded.lines, lines);
    EXPECT_EQ(loaded.damagedLines, 0u);
    ASSERT_TRUE(record->compact().ok());
  }
  EXPECT_EQ(readFile(dir / ".tessaline/written"), written);
  // A drive that is not there has no empty record.
  EXPECT_FALSE(DriveRecord::load(*DestinationRoot::open(dir / "unmounted"), lower).ok());
}

TEST(DriveRecord, ProbedSourcesRoundTripTheLastNoteWinsAndCompactionKeepsThem) {
  TempDir dir;
  auto record = openRecord(dir.path());
  ProbedSource a{"/m/a\tb.m4a", {100, 5}, "mp4", "alac", 3000},
      b{"/m/c.mp3", {7, -1}, "mp3", "", 0}, untold{"/m/d\n.m4a", {9, 8}, {}, {}, 0, false};
  ASSERT_TRUE(record->noteProbed({a, b, untold}, false).ok());
  ASSERT_TRUE(record->append({entry("Music/x.mp3")}, false).ok());
  a.codec = "aac";
  ASSERT_TRUE(record->noteProbed({a}, true).ok());
  for (int pass = 0; pass < 2; ++pass) {
    RecordContents loaded = load(dir.path());
    EXPECT_EQ(loaded.probed,
              (ProbedSources{{a.source, a}, {b.source, b}, {untold.source, untold}}));
    EXPECT_EQ(loaded.entries.size(), 1u);
    EXPECT_EQ(loaded.damagedLines, 0u);
    ASSERT_TRUE(record->compact().ok());
  }
}

TEST(DriveRecord, ACutAtAnyByteLeavesAPrefixAndTheNextAppendStartsAfresh) {
  TempDir dir;
  auto record = openRecord(dir.path());
  std::vector<RecordEntries> states(1);  // after each line
  for (const auto& e : {entry("a"), entry("b\nb", EntryKind::kCover, 2), entry("a", {}, 3)}) {
    ASSERT_TRUE(record->append({e}, false).ok());
    states.push_back(states.back());
    states.back()[e.key] = e;
  }
  ASSERT_TRUE(record->remove({"b\nb"}, false).ok());
  states.push_back(states.back());
  states.back().erase("b\nb");
  std::string path = dir / ".tessaline/record", whole = readFile(path);
  RecordEntry late = entry("late", EntryKind::kFolder, 4);
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    long lines = std::count(whole.begin(), whole.begin() + cut, '\n');
    auto expected = states[static_cast<size_t>(std::max(lines - 1, 0L))];
    writeFile(path, whole.substr(0, cut));
    EXPECT_EQ(load(dir.path()).entries, expected);
    ASSERT_TRUE(record->append({late}, false).ok());
    expected[late.key] = late;
    EXPECT_EQ(load(dir.path()).entries, expected);
  }
  // Nor does a whole line whose bytes changed (a stale block after a crash).
  writeFile(path, whole.replace(whole.find("\t10\t") + 1, 1, "9"));
  EXPECT_EQ(load(dir.path()).entries, states.back());
  EXPECT_EQ(load(dir.path()).damagedLines, 1u);
}

TEST(DriveRecordThreaded, CompactionNeverLosesAnAppendersEntries) {
  TempDir dir;
  constexpr int kWriters = 4;
  std::atomic<int> running{kWriters}, appended{0}, compactions{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      auto record = openRecord(dir.path());  // every writer shares the root's lock
      // Until several compactions have run meanwhile.
      for (int i = 0; record && (i < 40 || compactions.load() < 5) && i < 20000; ++i) {
        EXPECT_TRUE(
            record->append({entry(std::to_string(t) + "-" + std::to_string(i))}, false).ok());
        ++appended;
      }
      --running;
    });
  }
  auto compactor = openRecord(dir.path());
  while (running.load() > 0) {
    ASSERT_TRUE(compactor->compact().ok());
    ++compactions;
  }
  for (auto& t : threads) t.join();
  EXPECT_GE(compactions.load(), 5);
  EXPECT_EQ(load(dir.path()).entries.size(), size_t(appended.load()));
}

TEST(DriveRecord, OwnFilesOtherThanRegularOnesAreRefusedAndSnapshotsNeverWrittenThrough) {
  struct Case {
    std::string name, kind;  // what stands at .tessaline/<name>
    std::string failure;     // in the message; "" when all goes well
  } cases[] = {
      {"record", "fifo", ".tessaline/record: it is a FIFO, not a regular file"},
      {"record", "link", ".tessaline/record: it is a symbolic link"},
      {"record.new", "fifo", ".tessaline/record.new: it is a FIFO"},
      {"lock", "fifo", ".tessaline/lock: it is a FIFO"},
      {"lock", "link", ".tessaline/lock: it is a symbolic link"},
      {"record", "big", ""},  // read a block at a time, and compacted
      {"written", "big", ".tessaline/written: it is larger than 4096 bytes"},
      {"record", "tessaline-record 2\n", ".tessaline/record: it was written by a newer version"},
      {"record", "hard link", ""},
      {"lock", "hard link", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + c.kind);
    TempDir dir;
    std::string own = dir / (".tessaline/" + c.name), other = dir / "elsewhere";
    const std::string text =
        std::string("tessaline-record 1\n") + (c.kind == "big" ? std::string(4097, '\n') : "");
    stdfs::create_directories(dir / ".tessaline");
    writeFile(other, text);
    if (c.kind == "fifo") {
      ASSERT_EQ(mkfifo(own.c_str(), 0644), 0);
    }
    if (c.kind == "link") stdfs::create_symlink(other, own);
    if (c.kind == "hard link") stdfs::create_hard_link(other, own);
    if (c.kind == "big") stdfs::copy_file(other, own);
    if (c.kind.back() == '\n') writeFile(own, c.kind);
    // The refusal is the same wherever the file is met.
    auto root = DestinationRoot::open(dir.path());
    Status lock = root->shareLock(nullptr).status();
    Status load = DriveRecord::load(*root, lower, 4096).status();
    auto record = DriveRecord::open(root, lower);
    Status append = record ? (*record)->append({entry("x")}, false) : record.status();
    Status compact = record ? (*record)->compact(4096) : record.status();
    Status first = !lock.ok() ? lock : !load.ok() ? load : !append.ok() ? append : compact;
    EXPECT_EQ(first.ok(), c.failure.empty()) << first.message();
    EXPECT_TRUE(first.ok() || first.message().find(dir.path() + "/" + c.failure) != npos)
        << first.message();
    EXPECT_EQ(readFile(other), text);
    struct stat st;  // no longer linked to the snapshot
    EXPECT_TRUE(lstat(own.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_nlink == 1));
  }
}

TEST(DriveRecord, StampsMatchAtTheTimeStepOrShiftedByWholeQuarterHours) {
  constexpr int64_t kS = 1'000'000'000, kQuarter = 900 * kS;
  const int64_t t = 1'700'000'000 * kS;
  struct Case {
    FileStamp now;
    int64_t step;
    StampMatch match;
  } cases[] = {{{10, t}, kExactTimeStepNs, StampMatch::kSame},
               {{10, t + 1}, kExactTimeStepNs, StampMatch::kDifferent},
               {{10, t + 2 * kS - 1}, kFatTimeStepNs, StampMatch::kSame},
               {{10, t - 2 * kS}, kFatTimeStepNs, StampMatch::kDifferent},
               {{10, t + 10'000'000}, kExFatTimeStepNs, StampMatch::kDifferent},
               {{10, t + 4 * kQuarter + kS}, kFatTimeStepNs, StampMatch::kShifted},
               {{10, t - 56 * kQuarter}, kExactTimeStepNs, StampMatch::kShifted},
               {{10, t + 57 * kQuarter}, kFatTimeStepNs, StampMatch::kDifferent},
               {{10, t + kQuarter + 3 * kS}, kFatTimeStepNs, StampMatch::kDifferent},
               {{11, t + kQuarter}, kFatTimeStepNs, StampMatch::kDifferent}};
  for (const auto& c : cases)
    EXPECT_EQ(sameStamp({10, t}, c.now, c.step), c.match) << (c.now.mtimeNs - t) << " " << c.step;
}

TEST(ContentHash, StreamedBlocksAndAnOpenFileHashAlike) {
  TempDir dir;
  std::string bytes;
  for (int i = 0; i < (3 << 20) + 17; ++i) bytes.push_back(static_cast<char>(i * 131 % 251));
  writeFile(dir / "f", bytes);
  ContentHash hash;
  EXPECT_EQ(hash.digest(), 0x2D06800538D394C2u);  // XXH3-64 of nothing
  for (size_t at = 0; at < bytes.size(); at += 4093)
    hash.update(bytes.data() + at, std::min<size_t>(4093, bytes.size() - at));
  int fd = open((dir / "f").c_str(), O_RDONLY);
  auto whole = hashOpenFile(fd, dir / "f");
  close(fd);
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(*whole, hash.digest());
  EXPECT_FALSE(hashOpenFile(-1, "nothing").ok());
}

// A record grown far past its live entries (a kill before a compaction,
// years of exports) is read a block at a time and compacted, never
// refused for its size.
TEST(DriveRecord, ARecordLargerThanTheLimitIsReadAndCompacted) {
  TempDir dir;
  auto record = openRecord(dir.path());
  for (int round = 0; round < 40; ++round) {
    ASSERT_TRUE(record->append({entry("Music/a.mp3", EntryKind::kTrack, round + 1)}, false).ok());
    ASSERT_TRUE(
        record->remove({lower("Music/gone-" + std::to_string(round) + ".mp3")}, false).ok());
  }
  std::string file = dir / ".tessaline/record";
  ASSERT_GT(stdfs::file_size(file), 4096u);
  auto loaded = DriveRecord::load(*DestinationRoot::open(dir.path()), lower, 4096);
  ASSERT_TRUE(loaded.ok()) << loaded.status().message();
  EXPECT_EQ(loaded->entries.size(), 1u);
  EXPECT_EQ(loaded->entries.at("music/a.mp3"), entry("Music/a.mp3", EntryKind::kTrack, 40));
  ASSERT_TRUE(record->compact(4096).ok());
  EXPECT_LT(stdfs::file_size(file), 4096u);
  EXPECT_EQ(load(dir.path()).entries.size(), 1u);
}

// Whether a writer compacts goes by the lines it and the writers before it
// in this process counted, or by one reading of the record when none did.
TEST(DriveRecord, CompactsOnlyOnceDeadLinesOutweighLiveOnes) {
  struct Case {
    const char* what;
    int rounds;        // every entry appended this often
    int removed;       // then this many of the ten removed
    bool freshWriter;  // a writer that has not counted (it reads the record)
    size_t lines;      // in the record afterwards
  };
  for (const Case& c : std::vector<Case>{{"all new", 1, 0, false, 10},
                                         {"each once overridden", 2, 0, false, 20},
                                         {"each twice overridden", 3, 0, false, 10},
                                         {"same, counted by reading", 3, 0, true, 10},
                                         {"three removed", 1, 3, false, 13},
                                         {"four removed", 1, 4, false, 6},
                                         {"same, counted by reading", 1, 4, true, 6}}) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    auto record = openRecord(dir.path());
    RecordEntries expected;
    for (int round = 1; round <= c.rounds; ++round) {
      for (int i = 0; i < 10; ++i) {
        RecordEntry e = entry("Music/" + std::to_string(i), EntryKind::kTrack, round);
        ASSERT_TRUE(record->append({e}, false).ok());
        expected[e.key] = e;
      }
    }
    for (int i = 0; i < c.removed; ++i) {
      ASSERT_TRUE(record->remove({"music/" + std::to_string(i)}, false).ok());
      expected.erase("music/" + std::to_string(i));
    }
    if (c.freshWriter) {
      record.reset();
      record = openRecord(dir.path());
    }
    ASSERT_TRUE(record->compactIfMostlyDead().ok());
    RecordContents loaded = load(dir.path());
    EXPECT_EQ(loaded.lines, c.lines);
    EXPECT_EQ(loaded.entries, expected);
  }
}

// Killed (SIGKILL) at moments spread over a compaction: the record read
// afterwards is the old one or the compacted one, whole, and the next
// writer appends and compacts as usual.
TEST(DriveRecord, AKillDuringACompactionLeavesTheOldRecordOrTheNewOneWhole) {
  TempDir dir;
  RecordEntries expected;
  {
    auto record = openRecord(dir.path());
    std::vector<RecordEntry> batch;
    for (int round = 1; round <= 3; ++round) {
      for (int i = 0; i < 3000; ++i) {
        batch.push_back(entry("Music/Album/" + std::to_string(i) + ".m4a", {}, round));
        expected[batch.back().key] = batch.back();
      }
      ASSERT_TRUE(record->append(batch, false).ok());
      batch.clear();
    }
  }
  const std::string path = dir / ".tessaline/record", old = readFile(path);
  auto compactInChild = [&] {
    pid_t pid = fork();
    if (pid == 0) {
      auto record = DriveRecord::open(DestinationRoot::open(dir.path()), lower);
      _exit(record && (*record)->compact().ok() ? 0 : 1);
    }
    return pid;
  };
  auto start = std::chrono::steady_clock::now();
  int status = 0;
  waitpid(compactInChild(), &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const auto whole = std::chrono::steady_clock::now() - start;
  const std::string compacted = readFile(path);
  ASSERT_LT(compacted.size(), old.size() / 2);
  std::set<std::string> seen;
  for (int moment = 0; moment <= 16; ++moment) {
    SCOPED_TRACE(moment);
    writeFile(path, old);
    pid_t pid = compactInChild();
    std::this_thread::sleep_for(whole * moment / 6);  // up to almost three times its length
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    std::string now = readFile(path);
    ASSERT_TRUE(now == old || now == compacted);
    seen.insert(now == old ? "old" : "new");
    RecordContents loaded = load(dir.path());
    EXPECT_EQ(loaded.entries, expected);
    EXPECT_EQ(loaded.damagedLines, 0u);
    auto record = openRecord(dir.path());
    RecordEntry late = entry("late", EntryKind::kFolder, 4);
    ASSERT_TRUE(record->append({late}, true).ok());
    ASSERT_TRUE(record->compact().ok());
    EXPECT_EQ(load(dir.path()).entries.size(), expected.size() + 1);
    EXPECT_FALSE(stdfs::exists(path + ".new"));
  }
  EXPECT_EQ(seen.size(), 2u);  // the kills fell before the rename and after it
}

// A key made from its folder's kept key is the key of the whole path, for
// every kind of name, and as folders come and go from what is kept.
TEST(DriveRecord, KeysMadeFolderByFolderAreThoseOfTheWholePath) {
  const std::vector<std::string> names = {"Song.mp3",
                                          "Café Noël.m4a",
                                          "Cafe\xcc\x81.m4a",
                                          "\xcc\x81starts.mp3",
                                          "Straße",
                                          "ΐσος",
                                          "ǅ",
                                          "bad\xff.mp3",
                                          "",
                                          "x"};
  const std::vector<std::string> folders = {"Music/Chœur Émile/Été à Montréal",
                                            "Music/A",
                                            "Music/Ba\xe9"
                                            "d",
                                            "Music/Sigma Σ",
                                            "M",
                                            "Music/E\xcc\x81te\xcc\x81"};
  for (int round = 0; round < 2; ++round) {
    for (const auto& folder : folders) {
      for (const auto& name : names) {
        const std::string path = folder + "/" + name;
        EXPECT_EQ(recordKey(path), base::unicode::upper(base::unicode::nfd(path))) << path;
      }
    }
  }
  EXPECT_EQ(recordKey("/top"), base::unicode::upper(base::unicode::nfd("/top")));
}
