// Building the stale-file list over a generated destination tree of
// 100,000 files (500 artists x 10 albums x 20 tracks, a tenth of the
// names accented, nine tracks in ten still exported), against
// `find ROOT -printf '%s\n'` over the same tree, which reads the same
// folders and every file's size. Prints both times and their ratio; the
// goal is at most 1.5x find.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "base/Log.h"
#include "compat/catalogue/CTrack.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/export/CTrackSync.h"
#include "compat/shell/stAutoReleasePool.h"

namespace {

constexpr int kArtists = 500;
constexpr int kAlbums = 10;
constexpr int kTracks = 20;

struct Tree {
  std::string root;
  std::vector<catalogue::CTrackList::Ptr> playlists;
};

Tree& tree() {
  static Tree t;
  return t;
}

void makeTree() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessaline-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  Tree& t = tree();
  t.root = pattern + "/Export";
  std::filesystem::create_directory(t.root);
  int id = 0;
  for (int a = 0; a < kArtists; ++a) {
    std::string artist = (a % 10 == 0 ? "Art\u00edst " : "Artist ") + std::to_string(a);
    catalogue::Values ids, enables;
    catalogue::Texts sources, dests, titles, artists, durations;
    for (int b = 0; b < kAlbums; ++b) {
      std::string album = artist + "/Album " + std::to_string(b);
      std::filesystem::create_directories(t.root + "/" + album);
      for (int s = 0; s < kTracks; ++s, ++id) {
        std::string rel = album + "/" + std::to_string(s) + " Song " + std::to_string(id) + ".mp3";
        int fd = open((t.root + "/" + rel).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 || write(fd, "x", 1) != 1) std::abort();
        close(fd);
        if (id % 10 == 9) continue;  // stale: no track wants it any more
        ids.emplace_back(std::to_string(id));
        enables.emplace_back(true);
        sources.push_back("/music/" + rel);
        // Upper-cased in the catalogue, as a case-blind drive allows.
        dests.push_back(s % 2 ? rel : "/" + rel);
        titles.push_back("Song");
        artists.push_back(artist);
        durations.push_back("3:00");
      }
    }
    t.playlists.push_back(catalogue::CTrackList::retainedTrackListForUniqueID(
        "P" + std::to_string(a), true, ids, enables, sources, dests, titles, artists, durations));
  }
  catalogue::CTrack::setDestinationBasePath(t.root + "/");
}

void BM_StaleFileList(benchmark::State& state) {
  size_t listed = 0;
  for (auto _ : state) {
    auto sync = exporter::CTrackSync::deleteList(nullptr);
    listed = sync->deleteList()->size();
    benchmark::DoNotOptimize(sync->deleteSize());
  }
  state.counters["listed"] = static_cast<double>(listed);
}
BENCHMARK(BM_StaleFileList)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// Every file stale: one attribute read per file, as find does.
void BM_StaleFileListAllStale(benchmark::State& state) {
  for (auto _ : state) {
    exporter::CTrackSync sync;
    benchmark::DoNotOptimize(sync.buildDeleteListWithPathDict({}, tree().root, tree().root));
  }
}
BENCHMARK(BM_StaleFileListAllStale)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FindPrintfSize(benchmark::State& state) {
  std::string command = "find '" + tree().root + "' -printf '%s\\n' >/dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("find failed");
  }
}
BENCHMARK(BM_FindPrintfSize)->Unit(benchmark::kMillisecond)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) ms_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    double list = find("BM_StaleFileList/"), all = find("BM_StaleFileListAllStale/"),
           f = find("BM_FindPrintfSize/");
    if (list <= 0 || f <= 0) return;
    std::printf("\nstale-file list: %.1f ms   all stale: %.1f ms   find -printf %%s: %.1f ms\n",
                list, all, f);
    std::printf("ratio list/find: %.2f   all-stale/find: %.2f   (goal: at most 1.50)\n", list / f,
                all / f);
  }

 private:
  double find(const std::string& prefix) const {
    for (const auto& [name, value] : ms_) {
      if (name.rfind(prefix, 0) == 0) return value;
    }
    return -1;
  }
  std::map<std::string, double> ms_;
};

}  // namespace

int main(int argc, char** argv) {
  base::setLogStderrMode(base::StderrMode::kNever);
  benchmark::Initialize(&argc, argv);
  shell::stAutoReleasePool pool;
  makeTree();
  // Warm the page cache the same way for both sides.
  std::system(("find '" + tree().root + "' -printf '%s\\n' >/dev/null").c_str());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::string top = tree().root.substr(0, tree().root.rfind('/'));
  tree().playlists.clear();
  catalogue::CTrackList::resetForTesting();
  std::error_code ec;
  std::filesystem::remove_all(top, ec);
  benchmark::Shutdown();
  return 0;
}
