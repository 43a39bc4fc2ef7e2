// Playlist records: loads, export counts and the whole-registry walks.
#include "CatalogueFixture.h"

using catalogue::CTrack;
using catalogue::CTrackList;
using catalogue::kInvalidTotal;
using catalogue::Values;
using testsupport::loadFull;
using testsupport::specs;

class PlaylistRegistry : public testsupport::CatalogueTest {};

TEST_F(PlaylistRegistry, DuplicateListingCountsTwiceWhenExported) {
  auto list = loadFull("P1", true, specs({"T1", "T1", "T2"}));
  ASSERT_EQ(list->trackList()->size(), 3u);
  EXPECT_EQ(list->trackList()->at(0), list->trackList()->at(1));
  EXPECT_EQ(CTrack::trackForUniqueID("T1")->exportCount(), 2u);
  EXPECT_EQ(CTrack::trackForUniqueID("T2")->exportCount(), 1u);
}

TEST_F(PlaylistRegistry, ReloadWithTheSameTracksKeepsCountsAndRecordsAlive) {
  auto list = loadFull("P1", true, specs({"T1", "T2"}));
  loadFull("P2", false, specs({"T2"}));
  auto t1 = CTrack::trackForUniqueID("T1").get();
  base::LogCapture log;
  // Counting the new listings before dropping the old ones keeps a track
  // that stays from ever reaching zero listings, so it is never destroyed.
  auto again = loadFull("P1", true, specs({"T1", "T2"}));
  EXPECT_EQ(again, list);
  EXPECT_EQ(log.count("dealloc"), 0u);
  EXPECT_EQ(CTrack::trackForUniqueID("T1").get(), t1);
  EXPECT_EQ(CTrack::trackForUniqueID("T1")->exportCount(), 1u);
  EXPECT_EQ(CTrack::trackForUniqueID("T2")->exportCount(), 1u);
}

TEST_F(PlaylistRegistry, ExportedFlagChangesAdjustEveryListingOnce) {
  auto list = loadFull("P1", false, specs({"T1", "T1"}));
  auto t1 = CTrack::trackForUniqueID("T1");
  EXPECT_EQ(t1->exportCount(), 0u);
  list->setFirstExportTotal(3);
  CTrackList::setIsExported(true, "P1");
  EXPECT_EQ(t1->exportCount(), 2u);
  EXPECT_EQ(list->firstExportTotal(), kInvalidTotal);
  list->setFirstExportTotal(3);
  list->setIsExported(true);
  EXPECT_EQ(t1->exportCount(), 2u);
  EXPECT_EQ(list->firstExportTotal(), 3u);
  CTrackList::setIsExported(false, "P1");
  EXPECT_EQ(t1->exportCount(), 0u);
  CTrackList::setIsExported(true, "unknown");  // ignored
}

TEST_F(PlaylistRegistry, GetOrCreateAppliesTheFlagAfterReloading) {
  loadFull("P1", false, specs({"T1"}));
  loadFull("P1", true, specs({"T1", "T2"}));
  EXPECT_EQ(CTrack::trackForUniqueID("T1")->exportCount(), 1u);
  EXPECT_EQ(CTrack::trackForUniqueID("T2")->exportCount(), 1u);
  loadFull("P1", false, specs({"T1"}));
  EXPECT_EQ(CTrack::trackForUniqueID("T1")->exportCount(), 0u);
}

TEST_F(PlaylistRegistry, NumberIdentifiersBecomeDecimalTextAndTrackIdentifiersAreTrimmed) {
  auto list = loadFull("P1", true, specs({"1234", "42"}));
  Values ids{uint64_t{1234}, std::string(" \t42\t ")};
  list->loadTrackListForTrackIDs(ids, {true, true});
  ASSERT_EQ(list->trackList()->size(), 2u);
  EXPECT_EQ(list->trackList()->at(0)->uniqueID(), "1234");
  EXPECT_EQ(list->trackList()->at(1)->uniqueID(), "42");
}

TEST_F(PlaylistRegistry, PlaylistIdentifiersAreNotTrimmed) {
  auto a = loadFull("P1", true, specs({"T1"}));
  auto b = loadFull(" P1", true, specs({"T1"}));
  EXPECT_NE(a, b);
  EXPECT_EQ(CTrackList::trackListDict().size(), 2u);
}

TEST_F(PlaylistRegistry, LookUpLoadsSkipUnknownTracks) {
  loadFull("P1", true, specs({"T1"}));
  auto list = loadFull("P2", true, specs({"T1"}));
  base::LogCapture log;
  list->loadTrackListForTrackIDs({"T1", " T9 "});
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(list->trackList()->size(), 1u);
  list->loadTrackListForTrackIDs({"T1", " T9 "}, {true, true});
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"loadTrackListForTrackIDs missing track: T9 (1)"});
  EXPECT_EQ(list->trackList()->size(), 1u);
  EXPECT_EQ(CTrack::trackForUniqueID("T1")->exportCount(), 2u);
}

TEST_F(PlaylistRegistry, ShortParallelArrayChangesNothing) {
  auto list = loadFull("P1", true, specs({"T1"}));
  auto before = list->trackList();
  list->setUnCopiedTotal(7);
  base::LogCapture log;
  list->loadTrackListForTrackIDs({"T1", "T2"}, {true, true}, {"/a", "/b"}, {"a", "b"}, {"t"},
                                 {"x", "y"}, {"1", "2"});
  EXPECT_EQ(list->trackList(), before);
  EXPECT_EQ(list->unCopiedTotal(), 7u);
  EXPECT_EQ(CTrack::trackForUniqueID("T1")->exportCount(), 1u);
  EXPECT_EQ(CTrack::trackForUniqueID("T2"), nullptr);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{
                "loadTrackListForTrackIDs ignored for playlist P1: 2 track identifiers but a "
                "parallel array holds only 1 entries"});
}

TEST_F(PlaylistRegistry, NewPlaylistStartsWithEmptyNameAndInvalidTotals) {
  auto other = loadFull("P0", true, specs({"T0"}));
  other->setFirstExportTotal(1);
  auto list = loadFull("P1", true, specs({"T1"}));
  EXPECT_EQ(list->playlistFileName(), "");
  EXPECT_EQ(list->firstExportTotal(), kInvalidTotal);
  EXPECT_EQ(list->unCopiedTotal(), kInvalidTotal);
  EXPECT_EQ(other->firstExportTotal(), kInvalidTotal);  // exported creation invalidates all
  list->setPlaylistFileName("Road Trip");
  EXPECT_EQ(CTrackList::trackListForUniqueID("P1")->playlistFileName(), "Road Trip");
}

TEST_F(PlaylistRegistry, SwitchChangeInvalidatesOnlyOnARealChange) {
  auto list = loadFull("P1", true, specs({"T1"}));
  list->setFirstExportTotal(1);
  list->setUnCopiedTotal(2);
  CTrackList::setCopyOnlyCheckedItems(true);
  EXPECT_EQ(list->firstExportTotal(), 1u);
  EXPECT_EQ(list->unCopiedTotal(), 2u);
  CTrackList::setCopyOnlyCheckedItems(false);
  EXPECT_FALSE(CTrackList::copyOnlyCheckedItems());
  EXPECT_EQ(list->firstExportTotal(), kInvalidTotal);
  EXPECT_EQ(list->unCopiedTotal(), kInvalidTotal);
}

TEST_F(PlaylistRegistry, DisturbedPlaylistWalkLogsItsOwnLine) {
  loadFull("P1", true, specs({"T1"}));
  base::LogCapture log;
  int disturbances = 1;
  CTrackList::Ptr intruder;
  CTrackList::trackListDict().setWalkObserver([&](const std::string&) {
    if (disturbances-- > 0) intruder = loadFull("P2", false, {});
  });
  CTrackList::invalidateUnCopiedTotals();
  EXPECT_EQ(
      log.count("exeception invalidateUnCopiedTotals Exception: NSGenericException Reason: *** "
                "Collection <trackListDict> was mutated while being enumerated."),
      1u);
  EXPECT_EQ(intruder->unCopiedTotal(), kInvalidTotal);
}
