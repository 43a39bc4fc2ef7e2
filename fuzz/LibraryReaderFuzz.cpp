// The library export reader on arbitrary bytes, with a path map so that
// the prefix rewriting runs too.
#include "FuzzSupport.h"
#include "library/LibraryReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  static const app::LibraryReader reader = [] {
    app::PathMap map;
    map.add("C:/Users/Me/Music", "/mnt/music");
    return app::LibraryReader(map);
  }();
  try {
    app::Library library = reader.readMemory(fuzz::bytesOf(data, size), "fuzz.xml");
    for (const app::LibraryTrack& t : library.tracks) (void)t.localPath();
  } catch (const app::LibraryError&) {
  }
  (void)app::LibraryReader::decodeFileUrl(fuzz::bytesOf(data, size));
  return 0;
}
