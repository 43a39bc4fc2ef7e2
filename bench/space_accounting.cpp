// The net copy total over a library of 100,000 tracks in 1,000 playlists
// (1,000,000 listings) whose sources are real small files, half of them
// already at the destination: the work of finding what is missing, which
// space_accounting.bench.sh compares with an rsync dry run.
//   bench_space_accounting make-tree DIR    writes DIR/src and DIR/dst
//   bench_space_accounting total DIR        prints the seconds taken
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "base/Log.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/shell/stAutoReleasePool.h"

namespace {

constexpr int kTracks = 100000;
constexpr int kPlaylists = 1000;
constexpr int kPerPlaylist = 1000;

std::string relPath(int t) {
  return "Artist " + std::to_string(t / 100) + "/Album/" + std::to_string(t % 100) + " Track " +
         std::to_string(t) + ".m4a";
}

void writeFile(const std::string& path, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    perror(path.c_str());
    exit(1);
  }
  static char buf[8192];
  if (write(fd, buf, size) != static_cast<ssize_t>(size)) exit(1);
  close(fd);
}

int makeTree(const std::string& dir) {
  for (int t = 0; t < kTracks; ++t) {
    std::string rel = relPath(t);
    if (t % 100 == 0) {
      std::filesystem::create_directories(std::filesystem::path(dir + "/src/" + rel).parent_path());
      std::filesystem::create_directories(std::filesystem::path(dir + "/dst/" + rel).parent_path());
    }
    size_t size = 1024 + (t * 37) % 3000;
    writeFile(dir + "/src/" + rel, size);
    if (t % 2 == 0) writeFile(dir + "/dst/" + rel, size);
  }
  return 0;
}

int total(const std::string& dir) {
  base::LogCapture quiet;  // one result line per playlist
  shell::stAutoReleasePool pool;
  std::vector<std::string> ids;
  for (int p = 0; p < kPlaylists; ++p) {
    catalogue::Values tracks, enables;
    catalogue::Texts sources, dests, titles, artists, durations;
    for (int i = 0; i < kPerPlaylist; ++i) {
      int t = (p * 97 + i * 101) % kTracks;
      tracks.emplace_back(std::to_string(t));
      enables.emplace_back(true);
      sources.push_back(dir + "/src/" + relPath(t));
      dests.push_back(relPath(t));
      titles.push_back("Track " + std::to_string(t));
      artists.push_back("Artist");
      durations.push_back("200");
    }
    ids.push_back("PL" + std::to_string(p));
    catalogue::CTrackList::retainedTrackListForUniqueID(ids.back(), true, tracks, enables, sources, dests, titles,
                                                        artists, durations);
  }
  catalogue::CTrack::setDestinationBasePath(dir + "/dst");
  auto cpu = [] {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  double cpuStart = cpu();
  auto start = std::chrono::steady_clock::now();
  double bytes = catalogue::CTrackList::netCopyTotalUniqueIDs(ids);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%.3f %.0f %.3f\n", seconds, bytes, cpu() - cpuStart);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "make-tree") == 0) return makeTree(argv[2]);
  if (argc == 3 && strcmp(argv[1], "total") == 0) return total(argv[2]);
  fprintf(stderr, "usage: %s make-tree DIR | total DIR\n", argv[0]);
  return 2;
}
