// Track records, their registry and the destination root.
#include <stdexcept>

#include "CatalogueFixture.h"
#include "compat/shell/stAutoReleasePool.h"

using catalogue::CTrack;
using catalogue::CTrackList;
using catalogue::kInvalidTotal;
using testsupport::loadFull;
using testsupport::specs;

class TrackRegistry : public testsupport::CatalogueTest {};

TEST_F(TrackRegistry, FindOrCreateOnAKnownIdentifierOnlyRefreshesEnabled) {
  auto list = loadFull("P1", true, {{"T1", true, "/a/one.mp3", "A/one.mp3"}});
  auto again =
      CTrack::trackForUniqueID("T1", false, "/b/other.mp3", "B/other.mp3", "New", "New", "9");
  EXPECT_EQ(again, list->trackList()->at(0));
  EXPECT_FALSE(again->trackEnabled());
  EXPECT_EQ(again->sourcePath(), "/a/one.mp3");
  EXPECT_EQ(again->destPathRel(), "A/one.mp3");
  EXPECT_EQ(again->trackTitle(), "Title T1");
  EXPECT_EQ(again->exportCount(), 1u);
}

TEST_F(TrackRegistry, RootChangedOnlyInCompositionInvalidatesNothing) {
  auto list = loadFull("P1", true, specs({"T1"}));
  CTrack::setDestinationBasePath(std::string("/Volumes/Disqu\xC3\xA9"));
  auto t = list->trackList()->at(0);
  t->setTrackTested(true);
  list->setFirstExportTotal(5);
  list->setUnCopiedTotal(6);
  CTrack::setDestinationBasePath(std::string("/Volumes/Disque\xCC\x81"));
  EXPECT_TRUE(t->trackTested());
  EXPECT_EQ(*CTrack::destinationBasePath(), "/Volumes/Disqu\xC3\xA9");
  EXPECT_EQ(list->firstExportTotal(), 5u);
  EXPECT_EQ(list->unCopiedTotal(), 6u);
}

TEST_F(TrackRegistry, NewRootForgetsDestinationsThenInvalidatesFirstExportThenUncopied) {
  auto list = loadFull("P1", true, specs({"T1"}));
  auto t = list->trackList()->at(0);
  t->setTrackTested(true);
  t->setTrackPresent(true);
  t->setPresentSetInResolve(true);
  list->setFirstExportTotal(5);
  list->setUnCopiedTotal(6);
  std::vector<std::string> events;
  CTrack::trackDict().setWalkObserver(
      [&](const std::string& id) { events.push_back("track " + id); });
  CTrackList::trackListDict().setWalkObserver([&](const std::string&) {
    events.push_back(std::string("list fe=") +
                     (list->firstExportTotal() == kInvalidTotal ? "inv" : "ok") +
                     " uc=" + (list->unCopiedTotal() == kInvalidTotal ? "inv" : "ok"));
  });
  CTrack::setDestinationBasePath(std::string("/mnt/drive"));
  EXPECT_EQ(events,
            (std::vector<std::string>{"track T1", "list fe=ok uc=ok", "list fe=inv uc=ok"}));
  EXPECT_FALSE(t->trackTested());
  EXPECT_FALSE(t->trackPresent());
  EXPECT_FALSE(t->presentSetInResolve());
  EXPECT_EQ(list->unCopiedTotal(), kInvalidTotal);
}

TEST_F(TrackRegistry, AbsoluteDestinationHasExactlyOneSeparator) {
  auto list =
      loadFull("P1", true, {{"T1", true, "", "Artist/a.mp3"}, {"T2", true, "", "/Artist/b.mp3"}});
  EXPECT_FALSE(list->trackList()->at(0)->absDestinationPath());
  CTrack::setDestinationBasePath(std::string("/mnt/drive/Music/"));
  EXPECT_EQ(*list->trackList()->at(0)->absDestinationPath(), "/mnt/drive/Music/Artist/a.mp3");
  EXPECT_EQ(*list->trackList()->at(1)->absDestinationPath(), "/mnt/drive/Music/Artist/b.mp3");
  CTrack::setDestinationBasePath(std::string("/"));
  EXPECT_EQ(*list->trackList()->at(0)->absDestinationPath(), "/Artist/a.mp3");
}

TEST_F(TrackRegistry, LastListingDroppedDestroysTheRecordAndItsEntry) {
  base::LogCapture log;
  auto list = loadFull("P1", true, specs({"T1", "T2"}));
  list->loadTrackListForTrackIDs({"T2"}, {true});
  EXPECT_EQ(CTrack::trackForUniqueID("T1"), nullptr);
  EXPECT_EQ(CTrack::trackDict().size(), 1u);
  EXPECT_EQ(log.count("dealloc"), 1u);
}

TEST_F(TrackRegistry, UntakenNewRecordDiesWithTheCallersScope) {
  base::LogCapture log;
  {
    shell::stAutoReleasePool pool;
    CTrack::trackForUniqueID("Lonely", true, "/s", "d", "t", "a", "1");
    EXPECT_NE(CTrack::trackForUniqueID("Lonely"), nullptr);
    EXPECT_EQ(log.count("dealloc"), 0u);
  }
  EXPECT_EQ(CTrack::trackForUniqueID("Lonely"), nullptr);
  EXPECT_EQ(log.count("dealloc"), 1u);
}

TEST_F(TrackRegistry, DisturbedWalkLogsOnceAndWalksAgain) {
  auto list = loadFull("P1", true, specs({"T1", "T2", "T3"}));
  for (const auto& t : *list->trackList()) t->setTrackTested(true);
  base::LogCapture log;
  int disturbances = 1;
  CTrack::Ptr intruder;
  CTrack::trackDict().setWalkObserver([&](const std::string&) {
    if (disturbances-- > 0)
      intruder = CTrack::trackForUniqueID("Intruder", true, "/s", "d", "t", "a", "1");
  });
  CTrack::invalidateAllTrackDestinations();
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0],
            "exeception invalidateAllTrackDestinations Exception: NSGenericException Reason: *** "
            "Collection "
            "<masterTrackDictionary> was mutated while being enumerated.");
  for (const auto& t : *list->trackList()) EXPECT_FALSE(t->trackTested());
}

TEST_F(TrackRegistry, ForeignExceptionPassesThroughAWalk) {
  auto list = loadFull("P1", true, specs({"T1"}));
  base::LogCapture log;
  CTrack::trackDict().setWalkObserver(
      [](const std::string&) { throw std::runtime_error("foreign"); });
  EXPECT_THROW(CTrack::clearFirstExportFlags(), std::runtime_error);
  EXPECT_TRUE(log.lines().empty());
}
