// Loading a library export with the streaming reader.
//   bench_library_load --once FILE   one load; prints "tracks= playlists= wall_s= cpu_s= peak_kb="
//   bench_library_load [gbench flags] with TESSALINE_BENCH_LIBRARY=FILE   repeated loads
// Peak memory is the process's maximum resident set (getrusage), so a
// fair comparison loads once per process.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
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
