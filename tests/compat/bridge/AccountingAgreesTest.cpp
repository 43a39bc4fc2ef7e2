// One accounting, two faces: on generated libraries and drives, the
// engine's plan and the totals the script bridge's classes compute (per
// playlist and net) agree to the byte. A drive the bridge sees the same
// way: no record of the exporter's, a file at a track's path is the track.
#include <gtest/gtest.h>

#include <random>

#include "compat/catalogue/CTrack.h"
#include "compat/catalogue/CTrackList.h"
#include "fs/FileManager.h"
#include "session/Plan.h"
#include "support/TempDir.h"

namespace {

TEST(AccountingAgrees, EngineAndBridgeOnGeneratedLibraries) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    testsupport::TempDir dir;
    const std::string music = dir / "drive/Music";

    // Tracks: some unchecked, some without a source, some already on the
    // drive, in folders shared by several of them.
    session::Snapshot snapshot;
    const size_t tracks = 20 + below(60);
    for (size_t i = 0; i < tracks; ++i) {
      std::string name = "t" + std::to_string(i) + ".mp3";
      std::string destination = "A" + std::to_string(below(5)) + "/" + name;
      std::string source = dir / ("src/" + name);
      if (below(10) != 0) testsupport::writeFile(source, std::string(1 + below(3000), 'x'));
      if (below(3) == 0) testsupport::writeFile(music + "/" + destination, "old");
      snapshot.tracks.push_back({"T" + std::to_string(i), source, destination, below(5) != 0});
    }
    // Playlists drawn at random from the tracks, repeats and shared
    // tracks included, some empty.
    const size_t playlists = 1 + below(8);
    for (size_t p = 0; p < playlists; ++p) {
      session::SnapshotPlaylist playlist{"P" + std::to_string(p), "List " + std::to_string(p), {}};
      for (size_t k = below(25); k > 0; --k)
        playlist.items.push_back(static_cast<uint32_t>(below(tracks)));
      snapshot.playlists.push_back(std::move(playlist));
    }
    session::Choice choice;
    for (size_t k = 1 + below(playlists + 2); k > 0; --k)
      choice.playlists.push_back(static_cast<uint32_t>(below(playlists)));
    choice.copyOnlyChecked = below(3) != 0;

    auto fm = fs::FileManager::makePrivate();
    session::Plan plan =
        session::makePlan(snapshot, session::observe(snapshot, music, *fm), choice);

    // The same library loaded as a script loads it, every playlist exported.
    catalogue::CTrackList::resetForTesting();
    catalogue::CTrack::setDestinationBasePath(music);
    catalogue::CTrackList::setCopyOnlyCheckedItems(choice.copyOnlyChecked);
    for (const auto& p : snapshot.playlists) {
      catalogue::Values ids, enables;
      catalogue::Texts sources, destinations, texts;
      for (uint32_t t : p.items) {
        const auto& track = snapshot.tracks[t];
        ids.emplace_back(track.id);
        enables.emplace_back(track.enabled);
        sources.push_back(track.source);
        destinations.push_back(track.destination);
        texts.emplace_back();
      }
      catalogue::CTrackList::retainedTrackListForUniqueID(p.id, true, ids, enables, sources,
                                                          destinations, texts, texts, texts);
    }
    catalogue::Texts chosen;
    for (uint32_t p : choice.playlists) chosen.push_back(snapshot.playlists[p].id);
    EXPECT_EQ(static_cast<uint64_t>(catalogue::CTrackList::netCopyTotalUniqueIDs(chosen)),
              plan.bytesToCopy);
    for (const auto& figures : plan.playlists) {
      auto list =
          catalogue::CTrackList::trackListForUniqueID(snapshot.playlists[figures.playlist].id);
      ASSERT_TRUE(list);
      EXPECT_EQ(static_cast<uint64_t>(list->uncopiedTotal()), figures.toCopy);
      EXPECT_EQ(static_cast<uint64_t>(list->netcopyTotal()), figures.thisExport);
      EXPECT_EQ(list->trackList()->size(), figures.entries);
    }
    catalogue::CTrackList::resetForTesting();
  }
}

}  // namespace
