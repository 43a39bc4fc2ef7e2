// The export's copy step under faults: whatever fails, no track's name
// ever holds a partial file, every track is either placed (with its
// source's bytes) or listed with the file system's reason, and no
// temporary stays behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "fs/ContentHash.h"
#include "fs/DestinationRoot.h"
#include "fs/DriveRecord.h"
#include "session/CopyRun.h"
#include "session/DestinationLayout.h"
#include "session/MediaProbe.h"
#include "support/FaultInjectingFileManager.h"
#include "support/PowerCut.h"
#include "support/TempDir.h"

namespace {

namespace stdfs = std::filesystem;

struct Case {
  const char* what;
  std::function<void(fs::FaultInjectingFileManager&, std::atomic<bool>&)> fault;
  std::vector<int> reasons;  // per track: 0 placed, else the errno of its failure; -1 not tried
  // Done to the drive (the test's folder) once the copies have begun.
  std::function<void(const stdfs::path&)> meanwhile = nullptr;
};

TEST(SessionCopyRunThreaded, EachTrackPlacedWholeOrListedWithItsReason) {
  const std::vector<Case> cases = {
      {"nothing goes wrong", [](auto&, auto&) {}, {0, 0, 0, 0}},
      {"the batch's flush fails",
       [](auto& fm, auto&) { fm.failNth(fs::FileOp::kFlush, 1, EIO); },
       {EIO, EIO, EIO, EIO}},
      // Copies go folder by folder: A0/0, A0/2, then A1/1, A1/3.
      {"the drive fills up in the third copy",
       [](auto& fm, auto&) { fm.setNoSpaceAfterBytes(2500); },
       {0, ENOSPC, 0, ENOSPC}},
      {"a source went away",
       [](auto& fm, auto&) { fm.failNth(fs::FileOp::kCopy, 2, ENOENT); },
       {0, 0, ENOENT, 0}},
      {"stopped before it began", [](auto&, auto& stop) { stop = true; }, {-1, -1, -1, -1}},
      {"the music folder was moved away while its copies were written",
       nullptr,
       {ESTALE, ESTALE, ESTALE, ESTALE},
       [](const stdfs::path& dir) { stdfs::rename(dir / "drive/Music", dir / "moved"); }},
      // The link leads to the folder the copies were written in, now
      // outside the drive: nothing is named there.
      {"an album folder was replaced by a link to it, moved outside",
       nullptr,
       {ESTALE, 0, ESTALE, 0},
       [](const stdfs::path& dir) {
         stdfs::rename(dir / "drive/Music/A0", dir / "moved");
         stdfs::create_directory_symlink(dir / "moved", dir / "drive/Music/A0");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDir dir;
    session::Snapshot snapshot;
    session::Observed observed;
    std::vector<uint32_t> copies;
    for (uint32_t i = 0; i < 4; ++i) {
      std::string source = dir / ("src/" + std::to_string(i) + ".mp3");
      testsupport::writeFile(source, std::string(1000, static_cast<char>('a' + i)));
      snapshot.tracks.push_back({"T" + std::to_string(i), source,
                                 "A" + std::to_string(i % 2) + "/" + std::to_string(i) + ".mp3",
                                 true});
      observed.onDrive.push_back(0);
      observed.sourceBytes.push_back(1000);
      observed.sourceFound.push_back(1);
      copies.push_back(i);
    }
    stdfs::create_directories(dir / "drive/Music");
    auto root = fs::DestinationRoot::open(dir / "drive");
    fs::FaultInjectingFileManager fm;
    std::atomic<bool> stop{false};
    if (c.fault) c.fault(fm, stop);
    bool moved = false;
    session::CopyEvent last;
    // Bytes of a copy that fails are taken back, so the count may fall;
    // it never passes the total. The last event counts every track settled.
    session::CopyReport report =
        session::runCopies(snapshot, copies, observed, {root, dir / "drive/Music", 4000}, fm, &stop,
                           [&](const session::CopyEvent& e) {
                             EXPECT_LE(e.done, e.total);
                             EXPECT_EQ(e.tracks, 4u);
                             EXPECT_LE(e.tracksDone, e.tracks);
                             last = e;
                             if (c.meanwhile && !moved) moved = (c.meanwhile(dir.path()), true);
                           });
    EXPECT_EQ(last.tracksDone, report.placed.size() + report.failures.size());
    std::vector<int> got(4, -1);
    for (uint32_t t : report.placed) got[t] = 0;
    for (const auto& f : report.failures) got[f.track] = f.error.code;
    EXPECT_EQ(got, c.reasons);
    if (c.meanwhile) {
      EXPECT_TRUE(moved);
      for (const auto& e : stdfs::recursive_directory_iterator(dir / "moved"))
        EXPECT_TRUE(e.is_directory()) << "named outside the destination: " << e.path();
      continue;
    }
    EXPECT_EQ(report.bytesPlaced, 1000 * report.placed.size());
    for (uint32_t i = 0; i < 4; ++i) {
      std::string placedAt = dir / ("drive/Music/" + snapshot.tracks[i].destination);
      if (got[i] == 0) {
        EXPECT_EQ(testsupport::readFile(placedAt), std::string(1000, static_cast<char>('a' + i)));
      } else {
        EXPECT_FALSE(stdfs::exists(placedAt)) << placedAt;
      }
    }
    for (const auto& e : stdfs::recursive_directory_iterator(dir / "drive/Music"))
      EXPECT_FALSE(fs::FileManager::isPartialCopyName(e.path().filename())) << e.path();
  }
}

// A second of silence as a WAV file (8 kHz, mono, 16-bit).
std::string silentWav() {
  std::string wav = "RIFF....WAVEfmt ";
  auto put = [&](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) wav.push_back(static_cast<char>(value >> (8 * i)));
  };
  put(16, 4), put(1, 2), put(1, 2), put(8000, 4), put(16000, 4), put(2, 2), put(16, 2);
  wav += "data";
  put(16000, 4);
  wav.append(16000, '\0');
  wav.replace(4, 4, std::string{char(wav.size() - 8), char((wav.size() - 8) >> 8), 0, 0});
  return wav;
}

// A power cut at any step of a run that keeps the drive's record, copies
// and conversions alike: every file under a track's name holds its
// source's bytes (a conversion: an mp3) and is in the record as that
// track, with the size and time it has, the checksum of what it holds
// and its conversion, even when the record lost what was appended after
// its last flush; nothing was named before its entry was on the disk,
// and a run of the tracks still missing places them all.
TEST(SessionCopyRunThreaded, PowerCutAtAnyStepLeavesEveryNamedCopyRecordedByIdentity) {
  testsupport::TempDir dir;
  session::Snapshot snapshot;
  session::Observed observed;
  std::vector<uint32_t> copies;
  const session::ConvertSettings mp3{"mp3", -1};
  for (uint32_t i = 0; i < 8; ++i) {
    const bool convert = i >= 6;
    std::string source = dir / ("src/" + std::to_string(i) + (convert ? ".wav" : ".mp3"));
    testsupport::writeFile(
        source, convert ? silentWav() : std::string(700 + i, static_cast<char>('a' + i)));
    snapshot.tracks.push_back({"T" + std::to_string(i), source,
                               "A" + std::to_string(i % 3) + "/" + std::to_string(i) + ".mp3", true,
                               convert ? session::describe(mp3) : "", 8000});
    observed.onDrive.push_back(0);
    observed.sourceBytes.push_back(stdfs::file_size(source));
    observed.sourceTimeNs.push_back(0);
    observed.sourceFound.push_back(1);
    copies.push_back(i);
  }
  auto run = [&](fs::FileManager& fm, const std::vector<uint32_t>& tracks) {
    auto root = fs::DestinationRoot::open(dir / "drive");
    auto writer = fs::DriveRecord::open(root, {});
    EXPECT_TRUE(writer.ok());
    if (!writer.ok()) return session::CopyReport{};
    session::CopyTarget target{root, dir / "drive/Music", 6000};
    target.record = writer->get();
    target.recordPrefix = "Music/";
    target.libraryId = "L";
    target.convert = mp3;
    return session::runCopies(snapshot, tracks, observed, target, fm, nullptr, nullptr);
  };
  auto cutAt = [&](testsupport::PowerCut& power) {
    stdfs::remove_all(dir / "drive");
    stdfs::create_directories(dir / "drive/Music");
    power.followRecord(dir / "drive/.tessaline/record");
    return run(*power.manager(), copies);
  };
  testsupport::PowerCut counting(0);
  ASSERT_EQ(cutAt(counting).placed.size(), 8u);
  // Each copy takes four steps, its batch a flush of names; each
  // conversion takes all five.
  ASSERT_GE(counting.steps(), 4u * 6 + 1 + 5 * 2);
  auto fm = fs::FileManager::makePrivate();
  for (uint64_t cut = 1; cut <= counting.steps(); ++cut) {
    SCOPED_TRACE("cut at step " + std::to_string(cut));
    testsupport::PowerCut power(cut);
    cutAt(power);
    power.dropUnflushed();
    EXPECT_TRUE(power.namedUnrecorded().empty()) << *power.namedUnrecorded().begin();
    auto record = fs::DriveRecord::load(*fs::DestinationRoot::open(dir / "drive"), {});
    ASSERT_TRUE(record.ok()) << record.status().message();
    std::vector<uint32_t> missing;
    for (uint32_t i = 0; i < snapshot.tracks.size(); ++i) {
      const session::SnapshotTrack& t = snapshot.tracks[i];
      const std::string relative = "Music/" + t.destination, path = dir / ("drive/" + relative);
      if (!stdfs::exists(path)) {
        missing.push_back(i);
        continue;
      }
      std::string bytes = testsupport::readFile(path);
      auto known = record->entries.find(app::DestinationLayout::collisionKey(relative));
      ASSERT_NE(known, record->entries.end()) << relative << " named unrecorded";
      if (t.conversion.empty()) {
        EXPECT_EQ(bytes, testsupport::readFile(t.source)) << relative;
      } else {
        auto probed = session::probeMedia(*fm, path);
        ASSERT_TRUE(probed.ok()) << probed.status().message();
        EXPECT_EQ(probed->format, (session::MediaFormat{"mp3", "mp3"})) << relative;
      }
      EXPECT_EQ(known->second.trackId, t.id);
      EXPECT_EQ(known->second.conversion, t.conversion) << relative;
      auto stamp = fm->attributesOfItemAtPath(path, nullptr);
      ASSERT_TRUE(stamp);
      EXPECT_EQ(known->second.drive, (fs::FileStamp{stamp->size, stamp->modificationTimeNs}))
          << relative;
      fs::ContentHash hash;
      hash.update(bytes.data(), bytes.size());
      EXPECT_EQ(known->second.checksum, hash.digest()) << relative;
    }
    session::CopyReport again = run(*fm, missing);
    EXPECT_EQ(again.placed.size(), missing.size());
    for (const auto& f : again.failures) ADD_FAILURE() << f.error.localizedDescription;
  }
}

}  // namespace
