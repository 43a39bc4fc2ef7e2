#include "base/TextHash.h"

#include <xxhash.h>

namespace base {

size_t TextHash::operator()(std::string_view text) const {
  return static_cast<size_t>(XXH3_64bits(text.data(), text.size()));
}

}  // namespace base
