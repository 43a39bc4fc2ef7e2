// Each file-manager call of whole exports (load, plan, copy with
// read-back, covers, playlist files, clean-up) failed in turn, with each
// of the errors a drive gives, and the power cut at each step of a copy
// or of a file written whole (playlist files, conversions): whatever failed, the owner's files are
// as they were, and the next export, with nothing failing, does all of it, every entry of its
// playlist files plays, and the check agrees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "fs/ContentHash.h"
#include "fs/DestinationRoot.h"
#include "fs/DriveRecord.h"
#include "session/DestinationLayout.h"
#include "session/DriveCheck.h"
#include "session/ExportOptions.h"
#include "session/ExportSession.h"
#include "support/FaultInjectingFileManager.h"
#include "support/PowerCut.h"
#include "support/Services.h"
#include "support/TempDir.h"

namespace stdfs = std::filesystem;

namespace {

// Every call (or step); under the sanitizers, which run many times slower,
// every fourth, unless TESSALINE_FAULT_SWEEP=all.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const uint64_t step = std::getenv("TESSALINE_FAULT_SWEEP") != nullptr ? 1 : 4;
#else
const uint64_t step = 1;
#endif

// The steps of an export as the command line runs them, up to the first
// that fails outright; whether every one did all it had to.
// With `convert`, the drive plays mp3 alone and the sample's WAV files
// are converted.
bool exportOnce(const std::string& library, const std::string& drive, bool verify,
                std::string* said, const app::Services& services = testsupport::services(),
                bool convert = false) {
  app::ExportOptions options;
  options.library = library;
  options.to = drive;
  options.yes = true;
  options.verify = verify;
  if (convert) {
    options.convertTo = "mp3";
    options.playableFormats = {"mp3"};
    options.playableFormatsGiven = true;
  }
  app::ExportSession session(options, services);
  auto fail = [&](const std::string& what) {
    *said += what + "\n";
    return false;
  };
  if (auto r = session.load(); !r) return fail("load: " + r.error().message());
  if (auto r = session.prepare(); !r) return fail("prepare: " + r.error().message());
  if (auto r = session.plan(); !r) return fail("plan: " + r.error().message());
  auto copied = session.copy(nullptr, nullptr);
  if (!copied) return fail("copy: " + copied.error().message());
  bool all = true;
  for (const auto& why : session.renamed().notMoved) all = fail("not moved: " + why);
  for (const auto& why : session.renamed().failed) all = fail("not renamed: " + why);
  for (const auto& f : copied->notCopied)
    all = fail("not copied: " + f.destination + ": " + f.reason);
  std::vector<app::CoverFailure> covers;
  session.covers(nullptr, &covers);
  for (const auto& f : covers) all = fail("cover not written: " + f.path + ": " + f.reason);
  app::PlaylistOutcome lists = session.playlistFiles();
  for (const auto& f : lists.notWritten) all = fail("not written: " + f.file + ": " + f.reason);
  app::CleanOutcome cleaned = session.clean(true);
  for (const auto& i : cleaned.items) {
    if (i.item.ours && !i.deleted && !i.kept)
      all = fail("not deleted: " + i.item.path + ": " + i.reason);
  }
  for (const auto& f : session.notLookedAt())
    all = fail("not looked at: " + f.localizedDescription);
  return all;
}

// Entries of the playlist files that name nothing.
std::string danglingEntries(const std::string& drive) {
  std::string said;
  if (!stdfs::exists(drive + "/Playlists")) return said;
  for (const auto& file : stdfs::directory_iterator(drive + "/Playlists")) {
    std::ifstream in(file.path());
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      if (!stdfs::is_regular_file(file.path().parent_path() / line))
        said += file.path().filename().string() + ": " + line + "\n";
    }
  }
  return said;
}

// The sample library and three drives as an export finds them: an empty
// one, and one an earlier export filled, since when a copy was lost, a
// source re-encoded and a playlist dropped (so the export copies,
// repairs, writes and deletes), and the same whose player now wants the
// music in another folder (so the export moves it). All hold files of
// the owner's.
struct Drives {
  testsupport::TempDir dir;
  const std::string lib = dir / "lib", drive = dir / "drive";
  const std::string fewer = lib + "/Library-fewer.xml";
  const std::map<std::string, std::string> owners = {
      {"Music/Mine/memo.wav", "the owner's recording"},
      {"Playlists/Mine.m3u8", "#EXTM3U\n../Music/Mine/memo.wav\n"}};

  Drives() {
    EXPECT_TRUE(testsupport::makeSampleLibrary(lib));
    stdfs::create_directories(dir / "empty");
    stdfs::create_directories(dir / "used");
    std::string said;
    EXPECT_TRUE(exportOnce(lib + "/Library.xml", dir / "used", false, &said)) << said;
    std::vector<stdfs::path> copies;
    for (const auto& e : stdfs::recursive_directory_iterator(dir / "used/Music"))
      if (e.is_regular_file() && e.path().extension() == ".wav") copies.push_back(e.path());
    std::sort(copies.begin(), copies.end());
    EXPECT_GE(copies.size(), 3u);
    stdfs::remove(copies.front());
    for (const auto& e : stdfs::recursive_directory_iterator(lib + "/Media")) {
      if (e.path().filename() == copies[1].filename()) {
        std::ofstream(e.path(), std::ios::app) << "re-encoded";
        break;
      }
    }
    for (const char* base : {"empty", "used"})
      for (const auto& [path, text] : owners) testsupport::writeFile(dir / base + "/" + path, text);
    EXPECT_EQ(std::system(("cp -a '" + dir / "used" + "' '" + dir / "moved" + "'").c_str()), 0);
    testsupport::writeFile(dir / "moved/.is_audio_player", "audio_folders=Audio/\n");
  }
  // The drive as `base` left it, times kept: the record knows files by
  // size and time.
  void restore(const char* base) const {
    stdfs::remove_all(drive);
    EXPECT_EQ(std::system(("cp -a '" + dir / base + "' '" + drive + "'").c_str()), 0);
  }
  // After an export that failed somewhere: the owner's files as they were,
  // and the next export, failing nowhere, completes with the drive whole.
  void expectSettledByTheNextExport(const std::string& failed, bool convert = false) const {
    for (const auto& [path, text] : owners)
      EXPECT_EQ(testsupport::readFile(drive + "/" + path), text) << path << "\n" << failed;
    std::string again;
    EXPECT_TRUE(exportOnce(fewer, drive, false, &again, testsupport::services(), convert))
        << "after: " << failed << "then: " << again;
    EXPECT_EQ(danglingEntries(drive), "") << failed;
    for (const auto& [path, text] : owners)
      EXPECT_EQ(testsupport::readFile(drive + "/" + path), text) << path << "\n" << failed;
    auto checked = app::checkDrive(*fs::FileManager::makePrivate(), drive, false);
    ASSERT_TRUE(checked.ok()) << checked.status().message();
    EXPECT_TRUE(checked->ok()) << failed << checked->damaged.size() << " damaged, "
                               << checked->changed.size() << " changed, " << checked->missing.size()
                               << " missing, " << checked->dangling.size() << " dangling";
  }
};

TEST(ExportFaultSweep, AfterAnyFailedCallTheNextExportCompletesAndTheCheckAgrees) {
  Drives d;
  auto faulty = std::make_shared<fs::FaultInjectingFileManager>();
  const app::Services services = testsupport::services(faulty);
  const int codes[] = {EIO, ENOSPC, EACCES};
  size_t cases = 0, unseen = 0;
  std::string unsaidCases;
  std::vector<size_t> unseenOf(fs::kFileOpCount), casesOf(fs::kFileOpCount);
  // The empty drive once more with the tracks converted, and the moving
  // one, every third call (the other runs cover the calls they share).
  const std::pair<const char*, bool> runs[] = {
      {"empty", false}, {"used", false}, {"empty", true}, {"moved", false}};
  for (const auto& [base, convert] : runs) {
    d.restore(base);
    faulty->resetCounts();
    std::string said;
    ASSERT_TRUE(exportOnce(d.fewer, d.drive, true, &said, services, convert))
        << base << ": " << said;
    std::vector<uint64_t> counts;
    for (size_t op = 0; op < fs::kFileOpCount; ++op)
      counts.push_back(faulty->count(static_cast<fs::FileOp>(op)));
    for (size_t op = 0; op < fs::kFileOpCount; ++op) {
      const bool third = convert || std::string(base) == "moved";
      for (uint64_t n = 1; n <= counts[op]; n += third ? 3 * step : step) {
        const int code = codes[(n + op) % 3];
        SCOPED_TRACE(std::string(base) + (convert ? " drive, converting" : " drive") + ": call " +
                     std::to_string(n) + " of kind " + std::to_string(op) + " failed with " +
                     std::strerror(code));
        d.restore(base);
        faulty->resetCounts();
        faulty->clearFaults();
        faulty->failNth(static_cast<fs::FileOp>(op), n, code);
        std::string failed;
        const bool quiet = exportOnce(d.fewer, d.drive, true, &failed, services, convert) &&
                           // Conversions side by side look at their folders in
                           // an order of their own: the nth call may not come.
                           !faulty->lastFault().empty();
        if (quiet)
          unsaidCases += std::string("\n  ") + base + (convert ? ", converting" : "") + ": call " +
                         std::to_string(n) + " of kind " + std::to_string(op) + " (" +
                         std::strerror(code) + ") at " + faulty->lastFault();
        unseen += quiet;
        unseenOf[op] += quiet;
        ++casesOf[op];
        faulty->clearFaults();
        d.expectSettledByTheNextExport(failed, convert);
        ++cases;
      }
    }
  }
  EXPECT_GT(cases, 300u / step);
  // No failed call goes unsaid: a look that failed is named too, though
  // what it looked for was taken as absent.
  for (size_t op = 0; op < fs::kFileOpCount; ++op)
    EXPECT_EQ(unseenOf[op], 0u) << "kind " << op << ": " << unseenOf[op] << " of " << casesOf[op];
  EXPECT_EQ(unseen, 0u) << "failed without a word:" << unsaidCases;
}

// The check with each of its calls failed in turn: it never calls the
// drive whole when it could not look, and it leaves the drive as it was.
TEST(ExportFaultSweep, ACheckWithAFailedCallSaysSoAndChangesNothing) {
  Drives d;
  d.restore("used");
  std::string said;
  ASSERT_TRUE(exportOnce(d.fewer, d.drive, true, &said)) << said;
  auto faulty = std::make_shared<fs::FaultInjectingFileManager>();
  auto whole = app::checkDrive(*faulty, d.drive, false);
  ASSERT_TRUE(whole.ok() && whole->ok());
  size_t cases = 0;
  const uint64_t lists = faulty->count(fs::FileOp::kList), reads = faulty->count(fs::FileOp::kRead);
  for (fs::FileOp op : {fs::FileOp::kList, fs::FileOp::kRead}) {
    const uint64_t calls = op == fs::FileOp::kList ? lists : reads;
    for (uint64_t n = 1; n <= calls; ++n, ++cases) {
      faulty->resetCounts();
      faulty->failNth(op, n, n % 2 ? EIO : EACCES);
      auto checked = app::checkDrive(*faulty, d.drive, false);
      EXPECT_TRUE(!checked.ok() || !checked->ok()) << "call " << n << " of kind " << int(op);
      if (!checked.ok()) {
        EXPECT_NE(checked.status().message().find(d.drive), std::string::npos);
      }
    }
  }
  EXPECT_GT(cases, 3u);
  faulty->clearFaults();
  d.expectSettledByTheNextExport("a failed check");
}

// The exporter's files under the drive's music and playlist folders that
// its record does not know as they stand (size, time and checksum of
// their content): a file it named before its data or entry was durable.
std::string notRecordedAsTheyStand(const Drives& d) {
  auto record = fs::DriveRecord::load(*fs::DestinationRoot::open(d.drive), {});
  if (!record.ok()) return record.status().message();
  auto fm = fs::FileManager::makePrivate();
  std::string said;
  for (const char* folder : {"Music", "Playlists"}) {
    for (const auto& e : stdfs::recursive_directory_iterator(d.drive + "/" + folder)) {
      const std::string relative = stdfs::relative(e.path(), d.drive);
      if (!e.is_regular_file() || d.owners.count(relative) ||
          fs::FileManager::isPartialCopyName(e.path().filename()))
        continue;
      auto known = record->entries.find(app::DestinationLayout::collisionKey(relative));
      std::string bytes = testsupport::readFile(e.path());
      fs::ContentHash hash;
      hash.update(bytes.data(), bytes.size());
      auto stamp = fm->attributesOfItemAtPath(e.path(), nullptr);
      if (known == record->entries.end()) {
        said += relative + ": not in the record\n";
      } else if (!stamp ||
                 !(known->second.drive == fs::FileStamp{stamp->size, stamp->modificationTimeNs}) ||
                 known->second.checksum != hash.digest()) {
        said += relative + ": not as recorded\n";
      }
    }
  }
  return said;
}

// The power cut at each step of the copies and of the playlist files:
// what the drive had not been made to keep is lost (files named before
// their data was flushed would hold other bytes, the record loses what
// was appended since its last flush). Every file the exporter named is
// recorded as it stands; the next export completes and the check agrees.
TEST(ExportFaultSweep, AfterAPowerCutAtAnyCopyStepTheNextExportCompletes) {
  Drives d;
  std::shared_ptr<testsupport::PowerCut> power;
  app::Services services;
  services.fileManager = [&power] { return power->manager(); };
  // The empty drive once more with the tracks converted, which are
  // written whole as the playlist files are: every other step (the other
  // runs cover the steps it shares with them).
  const std::pair<const char*, bool> runs[] = {{"empty", false}, {"used", false}, {"empty", true}};
  for (const auto& [base, convert] : runs) {
    d.restore(base);
    power = std::make_shared<testsupport::PowerCut>(0);
    std::string said;
    ASSERT_TRUE(exportOnce(d.fewer, d.drive, false, &said, services, convert))
        << base << ": " << said;
    const uint64_t steps = power->steps();
    ASSERT_GT(steps, 8u);
    for (uint64_t cut = 1; cut <= steps; cut += convert ? 2 * step : step) {
      SCOPED_TRACE(std::string(base) + (convert ? " drive, converting" : " drive") +
                   ": power cut at step " + std::to_string(cut));
      d.restore(base);
      power = std::make_shared<testsupport::PowerCut>(cut);
      std::string failed;
      power->followRecord(d.drive + "/.tessaline/record");
      exportOnce(d.fewer, d.drive, false, &failed, services, convert);
      power->dropUnflushed();
      EXPECT_TRUE(power->namedUnrecorded().empty()) << *power->namedUnrecorded().begin();
      EXPECT_EQ(notRecordedAsTheyStand(d), "") << failed;
      power = std::make_shared<testsupport::PowerCut>(0);
      d.expectSettledByTheNextExport(failed, convert);
    }
  }
}

}  // namespace
