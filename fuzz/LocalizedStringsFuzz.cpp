// The strings table parser (UTF-8 and UTF-16 with a byte-order mark).
#include "FuzzSupport.h"
#include "base/LocalizedStrings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  std::string_view bytes = fuzz::bytesOf(data, size);
  std::string error;
  auto table = base::LocalizedStrings::parse(bytes, &error);
  if (table) {
    for (const auto& [key, value] : table->entries()) (void)table->lookup(key, value);
  }
  (void)base::decodeTextBytes(bytes);
  return 0;
}
