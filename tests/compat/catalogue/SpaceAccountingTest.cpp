// Uncopied, first-export and net copy totals.
#include "DestinationFixture.h"

using catalogue::CTrack;
using catalogue::CTrackList;
using catalogue::kInvalidTotal;
using testsupport::loadFull;

class SpaceAccounting : public testsupport::DestinationTest {
 protected:
  void SetUp() override {
    DestinationTest::SetUp();
    shared_ = source("Shared", 1000);
    onlyA_ = source("OnlyA", 10);
    onlyB_ = source("OnlyB", 200);
  }
  testsupport::TrackSpec shared_, onlyA_, onlyB_;
};

TEST_F(SpaceAccounting, SharedMissingTrackIsChargedToTheFirstExportedPlaylistInArrayOrder) {
  auto a = loadFull("A", true, {shared_, onlyA_});
  auto b = loadFull("B", true, {shared_, onlyB_});
  a->setPlaylistFileName("Alpha");
  CTrack::setDestinationBasePath(drive());
  base::LogCapture log;
  EXPECT_EQ(CTrackList::netCopyTotalUniqueIDs({"A", "B"}), 1210.0);
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("A"), 1010u);
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("B"), 200u);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"calcFirstExportTotal result for A <Alpha> is 1010",
                                      "calcFirstExportTotal result for B <> is 200"}));
  EXPECT_EQ(CTrackList::netCopyTotalUniqueIDs({"B", "A"}), 1210.0);
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("A"), 10u);
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("B"), 1200u);
  EXPECT_EQ(a->uncopiedTotal(), 1010.0);
  EXPECT_EQ(b->uncopiedTotal(), 1200.0);
}

// A playlist named twice in one request is counted once: its second
// listing must not take back what the first one claimed.
TEST_F(SpaceAccounting, PlaylistListedTwiceCountsOnce) {
  loadFull("A", true, {shared_, onlyA_});
  loadFull("B", true, {shared_, onlyB_});
  CTrack::setDestinationBasePath(drive());
  EXPECT_EQ(CTrackList::netCopyTotalUniqueIDs({"A", "A"}), 1010.0);
  EXPECT_EQ(CTrackList::netCopyTotalUniqueIDs({"A", "B", "A"}), 1210.0);
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("A"), 1010u);
  CTrackList::recalcFirstExportTotalsForPlaylistUniqueIDs({"B", "A", "B"});
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("B"), 1200u);
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("A"), 10u);
}

TEST_F(SpaceAccounting, PlaylistThatIsNotExportedClaimsNothing) {
  loadFull("A", true, {shared_});
  loadFull("N", false, {shared_, onlyB_});
  CTrack::setDestinationBasePath(drive());
  base::LogCapture log;
  CTrackList::netCopyTotalUniqueIDs({"A", "N"});
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("A"), 1000u);
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("N"), 0u);  // onlyB's count is 0
  EXPECT_EQ(log.lines().back(), "calcFirstExportTotal result for N <> is 0 (not exported)");
  CTrackList::netCopyTotalUniqueIDs({"N", "A"});
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("N"), 1000u);
  EXPECT_EQ(CTrackList::firstExportTotalforUniqueID("A"), 1000u);
}

TEST_F(SpaceAccounting, PresentAndUncheckedTracksContributeNothing) {
  auto unchecked = source("Off", 50, /*enabled=*/false);
  auto a = loadFull("A", true, {shared_, onlyA_, unchecked});
  CTrack::setDestinationBasePath(drive());
  writeFile(drive(shared_.dest), 3);
  EXPECT_EQ(CTrackList::netCopyTotalUniqueIDs({"A"}), 10.0);
  EXPECT_EQ(a->uncopiedTotal(), 10.0);
  CTrackList::setCopyOnlyCheckedItems(false);
  EXPECT_EQ(a->uncopiedTotal(), 60.0);
  EXPECT_EQ(CTrackList::netCopyTotalUniqueIDs({"A"}), 60.0);
}

TEST_F(SpaceAccounting, EmptyArrayStillForgetsDestinationsAndZeroesFirstExportTotals) {
  auto a = loadFull("A", true, {shared_});
  auto empty = loadFull("E", true, {});
  CTrack::setDestinationBasePath(drive());
  auto t = a->trackList()->at(0);
  t->resolveWithFileManager(nullptr);
  writeFile(drive(shared_.dest), 1);  // the drive changed behind our back
  EXPECT_EQ(CTrackList::netCopyTotalUniqueIDs({}), 0.0);
  EXPECT_TRUE(t->trackPresent());  // checked afresh
  EXPECT_EQ(a->firstExportTotal(), 0u);
  base::LogCapture log;
  CTrackList::recalcAllTotalsforUniqueIDs({"E"});
  EXPECT_EQ(empty->uncopiedTotal(), 0.0);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"calcFirstExportTotal result for E <> is 0"});
}

TEST_F(SpaceAccounting, ConditionalRecalculationsOnlyTouchInvalidTotals) {
  auto a = loadFull("A", true, {shared_});
  CTrack::setDestinationBasePath(drive());
  CTrackList::netCopyTotalUniqueIDs({"A"});
  a->setFirstExportTotal(7);
  a->setUnCopiedTotal(8);
  base::LogCapture log;
  CTrackList::conditionalRecalcFirstExportTotalsForPlaylistUniqueIDs({"A", "missing"});
  CTrackList::conditionalRecalcUncopiedTotalsForPlaylistUniqueIDs({"A"});
  EXPECT_EQ(a->firstExportTotal(), 7u);
  EXPECT_EQ(a->unCopiedTotal(), 8u);
  EXPECT_TRUE(log.lines().empty());
}

#include "support/FaultInjectingFileManager.h"

TEST_F(SpaceAccounting, CachedDestinationStatesDoNotTouchTheFileSystemAgain) {
  auto fault = std::make_shared<fs::FaultInjectingFileManager>();
  fs::FileManager::setFactoryForTesting([fault] { return fault; });
  fs::FileManager::setDefaultForTesting(fault);
  loadFull("A", true, {shared_, onlyA_});
  loadFull("B", true, {shared_, onlyB_});
  CTrack::setDestinationBasePath(drive());
  CTrackList::recalcAllTotalsforUniqueIDs({"A", "B"});
  EXPECT_GT(fault->totalCount(), 0u);
  fault->resetCounts();
  CTrackList::recalcAllTotalsforUniqueIDs({"A", "B"});
  CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCheckedNow);
  CTrackList::conditionalRecalcUncopiedTotalsForPlaylistUniqueIDs({"A", "B"});
  EXPECT_EQ(fault->totalCount(), 0u);
  // A net total looks at the drive afresh: one look at the destination
  // and one at the source per distinct track.
  EXPECT_EQ(CTrackList::netCopyTotalUniqueIDs({"A", "B"}), 1210.0);
  EXPECT_EQ(fault->totalCount(), 6u);
  fs::FileManager::setFactoryForTesting(nullptr);
  fs::FileManager::setDefaultForTesting(nullptr);
}
