// The registries shared between the script's thread and a background
// run: a loader reloading playlists while another thread walks and sums
// must stay data-race free, and every walk must finish.
#include <atomic>
#include <thread>

#include "CatalogueFixture.h"
#include "compat/shell/stAutoReleasePool.h"

using catalogue::CTrack;
using catalogue::CTrackList;
using testsupport::loadFull;

class RegistryThreaded : public testsupport::CatalogueTest {};

TEST_F(RegistryThreaded, LoaderAndWalkerShareTheRegistries) {
  constexpr int kPlaylists = 8;
  constexpr int kRounds = 60;
  std::vector<std::string> ids;
  for (int p = 0; p < kPlaylists; ++p) ids.push_back("P" + std::to_string(p));

  auto tracksFor = [](int p, int round) {
    std::vector<testsupport::TrackSpec> out;
    // Half the tracks stay across reloads, half change every round.
    for (int i = 0; i < 20; ++i) out.push_back({"S" + std::to_string(p * 20 + i)});
    for (int i = 0; i < 20; ++i)
      out.push_back({"R" + std::to_string(round) + "-" + std::to_string(p * 20 + i)});
    return out;
  };
  for (int p = 0; p < kPlaylists; ++p) loadFull(ids[p], true, tracksFor(p, 0));

  std::atomic<bool> done{false};
  std::atomic<uint64_t> walks{0};
  base::LogCapture log;  // retries log their lines here

  std::thread walker([&] {
    shell::stAutoReleasePool pool;
    while (!done.load()) {
      CTrack::invalidateAllTrackDestinations();
      CTrack::clearFirstExportFlags();
      CTrackList::invalidateFirstExportTotals();
      uint64_t sum = 0;
      for (const auto& id : ids) {
        if (auto list = CTrackList::trackListForUniqueID(id)) {
          auto tracks = list->trackList();  // a reload never changes this array
          for (const auto& t : *tracks) {
            sum += t->exportCount() + t->trackTitle().size();
            t->setTrackSize(t->trackSize() + 1);
          }
        }
      }
      EXPECT_GT(sum, 0u);
      walks.fetch_add(1);
    }
  });

  for (int round = 1; round <= kRounds; ++round) {
    shell::stAutoReleasePool pool;
    for (int p = 0; p < kPlaylists; ++p) loadFull(ids[p], round % 3 != 0, tracksFor(p, round));
  }
  done = true;
  walker.join();

  EXPECT_GT(walks.load(), 0u);
  // Every surviving track is listed once, in an exported playlist or not.
  bool lastExported = kRounds % 3 != 0;
  EXPECT_EQ(CTrack::trackDict().size(), static_cast<size_t>(kPlaylists * 40));
  for (const auto& id : ids) {
    for (const auto& t : *CTrackList::trackListForUniqueID(id)->trackList()) {
      EXPECT_EQ(t->exportCount(), lastExported ? 1u : 0u);
    }
  }
}
