// Loading 1,000 playlists over 100,000 distinct tracks (1,000,000
// listings, full form), then reloading them all; reports the time and the
// peak memory per listing.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>

#include "base/Log.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/shell/stAutoReleasePool.h"

namespace {

constexpr int kPlaylists = 1000;
constexpr int kPerPlaylist = 1000;
constexpr int kTracks = 100000;

struct Arrays {
  catalogue::Values ids, enables;
  catalogue::Texts sources, dests, titles, artists, durations;
};

Arrays arraysFor(int p) {
  Arrays a;
  for (int i = 0; i < kPerPlaylist; ++i) {
    int t = (p * 97 + i * 101) % kTracks;  // every track in about ten playlists
    std::string id = std::to_string(1000000 + t);
    a.ids.emplace_back(id);
    a.enables.emplace_back(true);
    a.sources.push_back("/home/user/Music/iTunes/iTunes Media/Music/Artist " + std::to_string(t % 5000) +
                        "/Album/" + id + " Song Title.m4a");
    a.dests.push_back("Music/Artist " + std::to_string(t % 5000) + "/Album/" + id + " Song Title.m4a");
    a.titles.push_back(id + " Song Title");
    a.artists.push_back("Artist " + std::to_string(t % 5000));
    a.durations.push_back("245");
  }
  return a;
}

long peakRssKiB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void loadAll(benchmark::State& state, int rounds) {
  // The arrays are the script's; they are made once, outside the timing.
  std::vector<Arrays> all;
  all.reserve(kPlaylists);
  for (int p = 0; p < kPlaylists; ++p) all.push_back(arraysFor(p));
  long before = peakRssKiB();
  base::LogCapture quiet;  // "dealloc" lines stay out of the system log
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    shell::stAutoReleasePool pool;
    for (int r = 0; r < rounds; ++r) {
      for (int p = 0; p < kPlaylists; ++p) {
        const Arrays& a = all[p];
        catalogue::CTrackList::retainedTrackListForUniqueID("PL" + std::to_string(p), true, a.ids, a.enables,
                                                            a.sources, a.dests, a.titles, a.artists, a.durations);
      }
    }
    state.PauseTiming();
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    state.counters["ns_per_listing"] = ns / (static_cast<double>(kPlaylists) * kPerPlaylist * rounds);
    long after = peakRssKiB();
    state.counters["tracks"] = static_cast<double>(catalogue::CTrack::trackDict().size());
    state.counters["peak_bytes_per_listing"] =
        static_cast<double>(after - before) * 1024.0 / (static_cast<double>(kPlaylists) * kPerPlaylist);
    catalogue::CTrackList::resetForTesting();
    quiet.clear();
    state.ResumeTiming();
  }
}

void BM_LoadOnce(benchmark::State& state) { loadAll(state, 1); }
void BM_LoadAndReload(benchmark::State& state) { loadAll(state, 2); }

}  // namespace

BENCHMARK(BM_LoadOnce)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_LoadAndReload)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_MAIN();
