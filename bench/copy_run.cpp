// A copy run over every file below SRC into DST, on the run's background
// thread with the main run loop pumped as the application does; prints
// the seconds taken and the bytes copied. copy_run.bench.sh compares it
// with cp -r of the same files.
//   bench_copy_run SRC DST
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/Log.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/export/CThreadCopier.h"
#include "compat/runtime/RunLoop.h"
#include "compat/shell/stAutoReleasePool.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s SRC DST\n", argv[0]);
    return 2;
  }
  std::string src = argv[1], dst = argv[2];
  platform::MainRunLoop::shared().adoptCurrentThread();
  base::LogCapture quiet;
  shell::stAutoReleasePool pool;
  catalogue::Values ids, enables;
  catalogue::Texts sources, dests, titles, artists, durations;
  for (auto& entry : std::filesystem::recursive_directory_iterator(src)) {
    if (!entry.is_regular_file()) continue;
    std::string rel = std::filesystem::relative(entry.path(), src).string();
    ids.emplace_back(rel);
    enables.emplace_back(true);
    sources.push_back(entry.path().string());
    dests.push_back(rel);
    titles.push_back(rel);
    artists.push_back("a");
    durations.push_back("1");
  }
  catalogue::CTrackList::retainedTrackListForUniqueID("all", true, ids, enables, sources, dests,
                                                      titles, artists, durations);
  catalogue::CTrack::setDestinationBasePath(dst);
  auto start = std::chrono::steady_clock::now();
  auto copier = exporter::CThreadCopier::CThreadCopierForUniqueIDs({"all"});
  platform::MainRunLoop::shared().runUntil(
      [&] { return copier->copyState() == exporter::CThreadCopier::CopyState::kFinished; },
      std::chrono::hours(1), std::chrono::milliseconds(5));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  copier->waitUntilFinished();
  printf("%.3f %llu\n", seconds, static_cast<unsigned long long>(copier->copiedSize()));
  return copier->copiedSize() == copier->totalSize() ? 0 : 1;
}
