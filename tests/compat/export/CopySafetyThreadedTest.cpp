// What a copy run promises when things go wrong: a power cut at any step
// leaves no track under its name with wrong content and none unrecorded;
// a drive that goes away fails the rest of the run without writing
// elsewhere; every failure comes back with its reason; a stop request
// ends the run at a track boundary.
#include <chrono>

#include "compat/export/CThreadCopier.h"
#include "compat/export/ExportFixture.h"
#include "fs/DestinationRoot.h"
#include "support/PowerCut.h"

using catalogue::CTrack;
using exporter::CThreadCopier;
using testsupport::loadFull;
using namespace std::chrono_literals;

namespace {

class CopySafetyThreaded : public testsupport::ExportTest {
 protected:
  // Three playlists of three tracks, each source with its own content.
  void threePlaylists() {
    for (int p = 0; p < 3; ++p) {
      std::vector<testsupport::TrackSpec> tracks;
      for (int t = 0; t < 3; ++t) {
        std::string id = "P" + std::to_string(p) + "T" + std::to_string(t);
        auto spec = source(id, 1000 + 100 * t);
        writeFile(spec.source, 1000 + 100 * t, static_cast<char>('a' + 3 * p + t));
        tracks.push_back(spec);
        sources_[drive(spec.dest)] = spec.source;
      }
      loadFull("P" + std::to_string(p), true, tracks);
    }
    CTrack::setDestinationBasePath(drive());
  }
  CThreadCopier::Ptr runToEnd(CThreadCopier::Options options = {}) {
    auto copier = CThreadCopier::CThreadCopierForUniqueIDs({"P0", "P1", "P2"}, std::move(options));
    EXPECT_TRUE(platform::MainRunLoop::shared().runUntil(
        [&] { return copier->copyState() == CThreadCopier::CopyState::kFinished; }, 20s, 1ms));
    copier->waitUntilFinished();
    platform::MainRunLoop::shared().runPending();
    return copier;
  }
  // Every file on the drive under a track's name holds its source's bytes.
  size_t expectNamedTracksIntact() {
    size_t named = 0;
    for (const auto& [destination, from] : sources_) {
      if (!std::filesystem::is_regular_file(destination)) continue;
      ++named;
      EXPECT_TRUE(readFile(destination) == readFile(from))
          << destination << " holds other bytes than its source";
    }
    return named;
  }
  std::map<std::string, std::string> sources_;  // destination -> source
};

}  // namespace

TEST_F(CopySafetyThreaded, PowerCutAtAnyStepLeavesNoWrongTrackUnderItsName) {
  threePlaylists();
  testsupport::PowerCut counting(0);
  fs::FileManager::setFactoryForTesting([&] { return counting.manager(); });
  runToEnd();
  uint64_t steps = counting.steps();
  ASSERT_GE(steps, 4u * 9);
  for (uint64_t cut = 1; cut <= steps; ++cut) {
    SCOPED_TRACE("cut at step " + std::to_string(cut));
    std::filesystem::remove_all(drive());
    std::filesystem::create_directories(drive());
    CTrack::invalidateAllTrackDestinations();
    testsupport::PowerCut power(cut);
    fs::FileManager::setFactoryForTesting([&] { return power.manager(); });
    runToEnd();
    power.dropUnflushed();
    EXPECT_TRUE(power.namedUnrecorded().empty());
    size_t named = expectNamedTracksIntact();
    auto recorded = fs::DestinationRoot::open(drive())->readRecord();
    EXPECT_GE(recorded.size(), named);
  }
}

TEST_F(CopySafetyThreaded, DriveGoneMidRunFailsTheRestAndWritesNothingElsewhere) {
  threePlaylists();
  int written = 0;
  fs::PosixFileManager::Options options;
  // After the fourth track is written, the drive goes: its folder is
  // moved away and an empty folder stands at its path, as when a drive is
  // unmounted from under its mount point.
  options.stepHook = [&](fs::CopyStep step, const std::string&) {
    if (step == fs::CopyStep::kWritten && ++written == 4) {
      std::filesystem::rename(drive(), base_ + "/pulled");
      std::filesystem::create_directories(drive());
    }
    return 0;
  };
  auto fm = std::make_shared<fs::PosixFileManager>(options);
  fs::FileManager::setFactoryForTesting([fm] { return fm; });
  auto copier = runToEnd();
  EXPECT_TRUE(std::filesystem::is_empty(drive()));
  auto failures = copier->failures();
  ASSERT_EQ(failures.size(), 6u);  // the batch in flight and the playlists after it
  for (const auto& f : failures)
    EXPECT_EQ(f.error.code, ENODEV) << f.uniqueID << ": " << f.error.localizedDescription;
  EXPECT_EQ(failures.back().error.localizedDescription,
            "The destination folder “" + drive() + "” is gone: the drive was removed.");
  EXPECT_EQ(copier->committedBytes(), 1000u + 1100 + 1200);
}

TEST_F(CopySafetyThreaded, EachFailureComesBackWithItsReasonAndPath) {
  threePlaylists();
  // A folder where a track belongs; a pipe as a source, which would
  // block a reader for ever.
  std::filesystem::create_directories(drive("Artist/P0T1.mp3"));
  std::filesystem::remove(lib("Artist/P1T0.mp3"));
  ASSERT_EQ(mkfifo(lib("Artist/P1T0.mp3").c_str(), 0644), 0);
  auto copier = runToEnd();
  std::map<std::string, base::FileError> byTrack;
  for (const auto& f : copier->failures()) byTrack[f.uniqueID] = f.error;
  ASSERT_EQ(byTrack.size(), 2u);
  EXPECT_EQ(byTrack["P0T1"].code, EISDIR);
  EXPECT_EQ(byTrack["P0T1"].path, drive("Artist/P0T1.mp3"));
  EXPECT_EQ(byTrack["P1T0"].code, fs::kNotRegularFile);
  EXPECT_EQ(byTrack["P1T0"].path, lib("Artist/P1T0.mp3"));
  EXPECT_EQ(byTrack["P1T0"].localizedDescription,
            "The file “P1T0.mp3” couldn’t be copied: it is not a regular file.");
  EXPECT_EQ(expectNamedTracksIntact(), 7u);
}

TEST_F(CopySafetyThreaded, LinkOrFileOnTheWayIsKeptAndNothingIsWrittenThroughIt) {
  threePlaylists();
  std::filesystem::create_directories(base_ + "/elsewhere");
  std::filesystem::create_directory_symlink(base_ + "/elsewhere", drive("Artist"));
  auto copier = runToEnd();
  EXPECT_TRUE(std::filesystem::is_empty(base_ + "/elsewhere"));
  EXPECT_TRUE(std::filesystem::is_symlink(drive("Artist")));
  auto failures = copier->failures();
  ASSERT_EQ(failures.size(), 9u);
  EXPECT_EQ(failures[0].error.code, ELOOP);

  std::filesystem::remove(drive("Artist"));
  writeFile(drive("Artist"), 5);
  CTrack::invalidateAllTrackDestinations();
  failures = runToEnd()->failures();
  ASSERT_EQ(failures.size(), 9u);
  EXPECT_EQ(failures[0].error.code, ENOTDIR);
  EXPECT_EQ(std::filesystem::file_size(drive("Artist")), 5u);
}

TEST_F(CopySafetyThreaded, StopEndsTheRunAtATrackBoundaryWithoutTemporaries) {
  threePlaylists();
  std::atomic<bool> stop{false};
  int written = 0;
  fs::PosixFileManager::Options options;
  options.stepHook = [&](fs::CopyStep step, const std::string&) {
    if (step == fs::CopyStep::kWritten && ++written == 2) stop.store(true);
    return 0;
  };
  auto fm = std::make_shared<fs::PosixFileManager>(options);
  fs::FileManager::setFactoryForTesting([fm] { return fm; });
  auto copier = runToEnd({nullptr, &stop});
  EXPECT_EQ(copier->copyState(), CThreadCopier::CopyState::kFinished);
  EXPECT_EQ(expectNamedTracksIntact(), 2u);
  for (const auto& e : std::filesystem::recursive_directory_iterator(drive())) {
    EXPECT_FALSE(fs::FileManager::isPartialCopyName(e.path().filename().string())) << e.path();
  }
}
