// Copy runs on their background thread, polled as the script polls them.
#include <chrono>
#include <set>

#include "compat/export/CThreadCopier.h"
#include "compat/export/ExportFixture.h"
#include "support/FaultInjectingFileManager.h"

using catalogue::CTrack;
using catalogue::CTrackList;
using exporter::CThreadCopier;
using testsupport::loadFull;
using namespace std::chrono_literals;

class CopyRunThreaded : public testsupport::ExportTest {
 protected:
  // Pumps the main run loop while polling, recording every state seen.
  std::vector<int32_t> pollToEnd(const CThreadCopier::Ptr& copier) {
    std::vector<int32_t> seen;
    platform::MainRunLoop::shared().runUntil(
        [&] {
          int32_t s = static_cast<int32_t>(copier->copyState());
          if (seen.empty() || seen.back() != s) seen.push_back(s);
          return s == 3;
        },
        20s, 1ms);
    copier->waitUntilFinished();
    platform::MainRunLoop::shared().runPending();
    return seen;
  }
};

TEST_F(CopyRunThreaded, EmptyArrayStartsNothing) {
  auto copier = CThreadCopier::CThreadCopierForUniqueIDs({});
  platform::MainRunLoop::shared().runFor(20ms);
  EXPECT_EQ(copier->copyState(), CThreadCopier::CopyState::kNotStarted);
  EXPECT_TRUE(indicators_.empty());
}

TEST_F(CopyRunThreaded, SharedTrackIsCopiedOnceByTheFirstPlaylist) {
  auto shared = source("Shared", 1000);
  loadFull("A", true, {source("OnlyA", 10), shared});
  loadFull("B", true, {shared, source("OnlyB", 200)});
  CTrack::setDestinationBasePath(drive());
  auto copier = CThreadCopier::CThreadCopierForUniqueIDs({"missing", "A", "B"});
  auto states = pollToEnd(copier);
  EXPECT_EQ(states.back(), 3);
  EXPECT_EQ(copier->totalSize(), 1210u);
  EXPECT_EQ(copier->copiedSize(), 1210u);
  EXPECT_EQ(readFile(drive("Artist/Shared.mp3")).size(), 1000u);
  EXPECT_TRUE(std::filesystem::exists(drive("Artist/OnlyB.mp3")));
  ASSERT_EQ(indicators_.size(), 1u);
  EXPECT_EQ(indicators_[0]->events(),
            (std::vector<std::string>{"min 0", "max 1210", "value 0", "value 10", "value 1010",
                                      "value 1010", "value 1210", "hide 0"}));
  EXPECT_TRUE(indicators_[0]->onMainThreadOnly());
  EXPECT_EQ(copier->dockProgress(), nullptr);
}

TEST_F(CopyRunThreaded, NothingToCopyStillPassesThroughEveryState) {
  auto t = source("T", 10);
  loadFull("A", true, {t});
  CTrack::setDestinationBasePath(drive());
  writeFile(drive(t.dest), 10);
  base::LogCapture log;
  auto copier = CThreadCopier::CThreadCopierForUniqueIDs({"A"});
  // The dock bar is set up on the main thread, so the run cannot pass
  // state 1 before the loop is pumped.
  platform::MainRunLoop::shared().runFor(0ms);
  auto states = pollToEnd(copier);
  EXPECT_EQ(states.back(), 3);
  EXPECT_EQ(copier->totalSize(), 0u);
  ASSERT_EQ(indicators_.size(), 1u);
  EXPECT_EQ(indicators_[0]->maxValue(), 0.0);
  EXPECT_TRUE(indicators_[0]->isHidden());
}

TEST_F(CopyRunThreaded, DriveFillingUpHalfWayEndsNormallyAndASecondRunCopiesTheRest) {
  std::vector<testsupport::TrackSpec> tracks;
  for (int i = 0; i < 6; ++i) tracks.push_back(source("T" + std::to_string(i), 512 * 1024));
  loadFull("A", true, tracks);
  CTrack::setDestinationBasePath(drive());
  auto fault = std::make_shared<fs::FaultInjectingFileManager>();
  fault->setNoSpaceAfterBytes(3 * 512 * 1024 + 1000);
  fs::FileManager::setFactoryForTesting([fault] { return fault; });

  auto copier = CThreadCopier::CThreadCopierForUniqueIDs({"A"});
  EXPECT_EQ(pollToEnd(copier).back(), 3);
  EXPECT_EQ(copier->totalSize(), 6u * 512 * 1024);
  EXPECT_EQ(copier->copiedSize(), 3u * 512 * 1024);
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(drive("Artist"))) {
    EXPECT_EQ(std::filesystem::file_size(e.path()), 512u * 1024) << e.path();
    EXPECT_FALSE(fs::FileManager::isPartialCopyName(e.path().filename().string()));
    ++files;
  }
  EXPECT_EQ(files, 3u);

  fault->clearFaults();
  auto second = CThreadCopier::CThreadCopierForUniqueIDs({"A"});
  EXPECT_EQ(pollToEnd(second).back(), 3);
  EXPECT_EQ(second->totalSize(), 3u * 512 * 1024);
  EXPECT_EQ(second->copiedSize(), 3u * 512 * 1024);
}

// Enough tracks for several flush batches, with one track listed twice
// in a row and again much later: every listing is counted and shown in
// array order, the track is copied once.
TEST_F(CopyRunThreaded, ManyTracksAreCountedInOrderAcrossBatches) {
  std::vector<testsupport::TrackSpec> tracks;
  for (int i = 0; i < 150; ++i) tracks.push_back(source("T" + std::to_string(i), 100 + i));
  tracks.insert(tracks.begin() + 6, tracks[5]);
  tracks.push_back(tracks[5]);
  loadFull("A", true, tracks);
  CTrack::setDestinationBasePath(drive());
  auto copier = CThreadCopier::CThreadCopierForUniqueIDs({"A"});
  EXPECT_EQ(pollToEnd(copier).back(), 3);

  uint64_t total = 0;
  std::vector<std::string> expected{"min 0", "max " + std::to_string(150 * 100 + 149 * 150 / 2),
                                    "value 0"};
  std::set<std::string> seen;
  for (const auto& t : tracks) {
    if (seen.insert(t.id).second) total += readFile(t.source).size();
    expected.push_back("value " + std::to_string(total));
  }
  expected.push_back("hide 0");
  EXPECT_EQ(copier->copiedSize(), total);
  ASSERT_EQ(indicators_.size(), 1u);
  EXPECT_EQ(indicators_[0]->events(), expected);
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(drive("Artist"))) {
    EXPECT_FALSE(fs::FileManager::isPartialCopyName(e.path().filename().string()));
    ++files;
  }
  EXPECT_EQ(files, 150u);
  EXPECT_EQ(readFile(drive("Artist/T149.mp3")).size(), 249u);
}

// The flush of the first batch fails (a write error on the drive): none
// of its tracks is named or counted, the rest are, and a second run
// copies what is missing.
TEST_F(CopyRunThreaded, AFailedFlushNamesNothingOfItsBatch) {
  std::vector<testsupport::TrackSpec> tracks;
  for (int i = 0; i < 100; ++i) tracks.push_back(source("T" + std::to_string(i), 1000));
  loadFull("A", true, tracks);
  CTrack::setDestinationBasePath(drive());
  auto fault = std::make_shared<fs::FaultInjectingFileManager>();
  fault->failNth(fs::FileOp::kFlush, 1, EIO);
  fs::FileManager::setFactoryForTesting([fault] { return fault; });

  auto copier = CThreadCopier::CThreadCopierForUniqueIDs({"A"});
  EXPECT_EQ(pollToEnd(copier).back(), 3);
  EXPECT_EQ(copier->totalSize(), 100000u);
  uint64_t copied = copier->copiedSize();
  EXPECT_GT(copied, 0u);
  EXPECT_LT(copied, 100000u);
  EXPECT_FALSE(std::filesystem::exists(drive("Artist/T0.mp3")));
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(drive("Artist"))) {
    EXPECT_FALSE(fs::FileManager::isPartialCopyName(e.path().filename().string()));
    ++files;
  }
  EXPECT_EQ(files * 1000, copied);

  auto second = CThreadCopier::CThreadCopierForUniqueIDs({"A"});
  EXPECT_EQ(pollToEnd(second).back(), 3);
  EXPECT_EQ(second->copiedSize(), 100000u - copied);
  EXPECT_TRUE(std::filesystem::exists(drive("Artist/T0.mp3")));
}

TEST_F(CopyRunThreaded, SameRunOnTheCallingThread) {
  loadFull("A", true, {source("X", 30)});
  CTrack::setDestinationBasePath(drive());
  // A playlist listed twice is copied and counted once.
  for (const catalogue::Texts& ids : {catalogue::Texts{"A"}, catalogue::Texts{"A", "A"}}) {
    std::filesystem::remove(drive("Artist/X.mp3"));
    CTrackList::copyPlaylistUniqueIDs(ids);
    EXPECT_TRUE(std::filesystem::exists(drive("Artist/X.mp3")));
    ASSERT_FALSE(indicators_.empty());
    EXPECT_EQ(indicators_.back()->events(),
              (std::vector<std::string>{"min 0", "max 30", "value 0", "value 30", "hide 0"}))
        << ids.size();
  }
}
