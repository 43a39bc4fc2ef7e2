// Shared set-up for catalogue tests: a clean registry per test and a
// short way to load playlists in the full form.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Log.h"
#include "compat/catalogue/CTrack.h"
#include "compat/catalogue/CTrackList.h"

namespace testsupport {

struct TrackSpec {
  std::string id;
  bool enabled = true;
  std::string source;
  std::string dest;
};

inline catalogue::CTrackList::Ptr loadFull(const std::string& playlistID, bool exported,
                                           const std::vector<TrackSpec>& tracks) {
  catalogue::Values ids, enables;
  catalogue::Texts sources, dests, titles, artists, durations;
  for (const auto& t : tracks) {
    ids.emplace_back(t.id);
    enables.emplace_back(t.enabled);
    sources.push_back(t.source.empty() ? "/src/" + t.id + ".mp3" : t.source);
    dests.push_back(t.dest.empty() ? "Music/" + t.id + ".mp3" : t.dest);
    titles.push_back("Title " + t.id);
    artists.push_back("Artist " + t.id);
    durations.push_back("180");
  }
  return catalogue::CTrackList::retainedTrackListForUniqueID(
      playlistID, exported, ids, enables, sources, dests, titles, artists, durations);
}

inline std::vector<TrackSpec> specs(std::initializer_list<const char*> ids) {
  std::vector<TrackSpec> out;
  for (const char* id : ids) out.push_back(TrackSpec{id});
  return out;
}

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override { catalogue::CTrackList::resetForTesting(); }
  void TearDown() override {
    catalogue::CTrack::trackDict().setWalkObserver(nullptr);
    catalogue::CTrackList::trackListDict().setWalkObserver(nullptr);
    catalogue::CTrackList::resetForTesting();
  }
};

}  // namespace testsupport
