// Loading a library export with the streaming reader.
//   bench_library_load --once FILE   one load; prints "tracks= playlists= wall_s= cpu_s= peak_kb="
//   bench_library_load [gbench flags] with TESSALINE_BENCH_LIBRARY=FILE   repeated loads
// Peak memory is the process's maximum resident set (getrusage), so a
// fair comparison loads once per process.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "library/LibraryReader.h"

namespace {

double cpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_LoadLibrary(benchmark::State& state) {
  const char* file = std::getenv("TESSALINE_BENCH_LIBRARY");
  if (!file) {
    state.SkipWithError("set TESSALINE_BENCH_LIBRARY to a library export");
    return;
  }
  size_t tracks = 0;
  for (auto _ : state) {
    app::Library lib = app::LibraryReader().read(file);
    tracks = lib.tracks.size();
    benchmark::DoNotOptimize(lib);
  }
  state.counters["tracks"] = static_cast<double>(tracks);
  state.SetItemsProcessed(static_cast<int64_t>(tracks) * state.iterations());
}
BENCHMARK(BM_LoadLibrary)->Unit(benchmark::kMillisecond)->Iterations(3);

// The playlists' part of a library alone: 500 playlists of 1,000 entries
// drawn from 20,000 tracks, laid out as exports write them (one entry a
// line). What the reader costs per entry, apart from the tracks' keys.
std::string playlistItemsDocument(int entries) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      "\t<key>Tracks</key>\n\t<dict>\n";
  constexpr int kTracks = 20000;
  for (int t = 0; t < kTracks; ++t) {
    std::string id = std::to_string(1000 + t);
    xml += "\t\t<key>" + id + "</key>\n\t\t<dict>\n\t\t\t<key>Track ID</key><integer>" + id +
           "</integer>\n\t\t\t<key>Persistent ID</key><string>P" + id +
           "</string>\n\t\t\t<key>Location</key><string>file:///m/" + id +
           ".m4a</string>\n\t\t</dict>\n";
  }
  xml += "\t</dict>\n\t<key>Playlists</key>\n\t<array>\n";
  uint32_t draw = 27;
  for (int p = 0; p < 500; ++p) {
    xml += "\t\t<dict>\n\t\t\t<key>Name</key><string>Playlist " + std::to_string(p) +
           "</string>\n\t\t\t<key>Playlist Persistent ID</key><string>L" + std::to_string(p) +
           "</string>\n\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n";
    for (int e = 0; e < entries; ++e) {
      draw = draw * 1664525u + 1013904223u;
      xml += "\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>" +
             std::to_string(1000 + draw % kTracks) + "</integer>\n\t\t\t\t</dict>\n";
    }
    xml += "\t\t\t</array>\n\t\t</dict>\n";
  }
  return xml + "\t</array>\n</dict>\n</plist>\n";
}

// With 1,000 entries a playlist and with none: the difference is what the
// entries alone cost.
void BM_PlaylistItems(benchmark::State& state) {
  const std::string full = playlistItemsDocument(static_cast<int>(state.range(0)));
  size_t entries = 0;
  for (auto _ : state) {
    app::Library lib = app::LibraryReader().readMemory(full, "Library.xml");
    entries = 0;
    for (const auto& p : lib.playlists) entries += p.tracks.size();
    benchmark::DoNotOptimize(lib);
  }
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["MB"] = static_cast<double>(full.size()) / 1e6;
}
BENCHMARK(BM_PlaylistItems)->Arg(1000)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--once") == 0) {
    double cpu0 = cpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    try {
      app::Library lib = app::LibraryReader().read(argv[2]);
      double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      double cpu = cpuSeconds() - cpu0;
      rusage ru{};
      getrusage(RUSAGE_SELF, &ru);
      std::printf("tracks=%zu playlists=%zu wall_s=%.3f cpu_s=%.3f peak_kb=%ld\n",
                  lib.tracks.size(), lib.playlists.size(), wall, cpu, ru.ru_maxrss);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
