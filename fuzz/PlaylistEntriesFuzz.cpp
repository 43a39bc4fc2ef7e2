// The reader of the exporter's own playlist files as they stand on a drive
// (which anyone may have edited): the first byte picks the encoding, the
// rest is the file. Every entry it finds lies below the music folder (and
// every entry on the drive below its root), and taking entries out never
// adds a line.
#include <cstdlib>

#include "FuzzSupport.h"
#include "session/Target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool windows1252 = data[0] & 1;
  std::string_view text = fuzz::bytesOf(data + 1, size - 1);
  const std::string root = "/media/drive";
  auto below = [](const std::string& entry) {
    return !entry.empty() && entry[0] != '/' && entry.rfind("../", 0) != 0 && entry != ".." &&
           entry != ".";
  };
  for (const auto& entry : session::musicEntriesOf(text, windows1252, "Playlists", root, "Music"))
    if (!below(entry)) std::abort();
  for (const auto& entry : session::driveEntriesOf(text, windows1252, "Playlists", root))
    if (!below(entry)) std::abort();
  size_t calls = 0;
  std::string fewer = session::withoutEntries(text, windows1252, "Playlists", root, "Music",
                                              [&](const std::string&) { return ++calls % 2 == 0; });
  if (fewer.size() > text.size() + 1) std::abort();
  std::string same = session::withoutEntries(text, windows1252, "Playlists", root, "Music",
                                             [](const std::string&) { return true; });
  if (same.size() > text.size() + 1) std::abort();
  return 0;
}
