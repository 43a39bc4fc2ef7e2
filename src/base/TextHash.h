// The hash of the tables keyed by paths and keys: XXH3, a fraction of the
// cost of std::hash on texts of some eighty bytes, looked up by any text.
//
// Thread: pure; any thread.
// Errors: none.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace base {

// Deliberately not noexcept: the standard tables then keep each node's
// hash, so that walking a bucket or growing never hashes a stored text
// again.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const;
};

using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

}  // namespace base
