// The library export reader on arbitrary bytes, with a path map so that
// the prefix rewriting runs too. The cursor and the full parser
// must agree on every document: the same library, or the same error at
// the same line.
#include <cstdio>
#include <cstdlib>

#include "../tests/support/LibraryOutcome.h"
#include "FuzzSupport.h"
#include "library/LibraryReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  static const app::PathMap map = [] {
    app::PathMap m;
    m.add("C:/Users/Me/Music", "/mnt/music");
    return m;
  }();
  static const app::LibraryReader quick(map);
  static const app::LibraryReader full = app::LibraryReader(map).withFullParserOnly();
  std::string_view bytes = fuzz::bytesOf(data, size);
  std::string fromQuick = testsupport::libraryOutcome(quick, bytes);
  std::string fromFull = testsupport::libraryOutcome(full, bytes);
  if (fromQuick != fromFull) {
    std::fprintf(stderr, "the cursor read:\n%s\nthe full parser read:\n%s\n", fromQuick.c_str(),
                 fromFull.c_str());
    std::abort();
  }
  (void)app::LibraryReader::decodeFileUrl(bytes);
  return 0;
}
