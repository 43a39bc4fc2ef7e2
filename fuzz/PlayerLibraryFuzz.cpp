// The libraries of the players owners use on Linux, from arbitrary bytes:
// the first byte says which file of a folder of playlists (or Rhythmbox's
// database) they are. A library read must only name tracks it holds.
#include <cstdlib>

#include "FuzzSupport.h"
#include "library/LibraryReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  if (size == 0) return 0;
  static const char* const kNames[] = {"lists/a.m3u", "lists/a.m3u8", "lists/a.pls", "lists/a.xspf",
                                       "rhythmdb.xml"};
  const size_t kind = data[0] % 5;
  static const fuzz::ScratchDir dir;
  std::error_code ec;
  std::filesystem::remove_all(dir.root() / "lists", ec);
  std::filesystem::remove(dir.root() / "rhythmdb.xml", ec);
  dir.write(kNames[kind], fuzz::bytesOf(data + 1, size - 1));
  const std::string path = (dir.root() / (kind == 4 ? "rhythmdb.xml" : "lists")).string();
  auto read = app::LibraryReader().load(path);
  if (!read) return 0;
  for (const auto& playlist : read->playlists) {
    if (playlist.items.size() != playlist.tracks.size()) std::abort();
    for (uint32_t t : playlist.tracks)
      if (t >= read->tracks.size()) std::abort();
  }
  return 0;
}
