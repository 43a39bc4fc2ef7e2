// The files and folders below the music folder that no exported track
// needs: what a clean-up may remove, before it judges which of them are
// the exporter's own (the drive's record decides that, not this walk).
//
// Thread: a pure function of its arguments and the file system it reads;
// any thread, the file manager's own rules apply.
// Ownership: nothing is kept.
// Errors: a folder that cannot be listed is left out with what it holds
// (nothing is stale that could not be seen), so that a listing error can
// only keep files, never make needed ones look stale.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/TextHash.h"

namespace platform {
class FileManager;
}

namespace session {

// The key a relative path is compared by: per component, decomposed and
// upper-cased, as the layout's collision key folds names.
std::string walkKey(std::string_view relative);

// Walk keys made already, by the path they were made of (the layout makes
// one for most tracks and their folders): looked up before a path is
// folded again.
struct KnownKeys {
  std::unordered_map<std::string, std::string, base::TextHash, std::equal_to<>> byPath;
  std::string of(std::string_view relative) const {
    auto at = byPath.find(relative);
    return at != byPath.end() ? at->second : walkKey(relative);
  }
};

struct StaleFiles {
  std::vector<std::string> paths;  // absolute; a folder after what it holds
  uint64_t bytes = 0;              // of the files listed
};

// Walks `root` (a folder's absolute path) and lists every item whose key
// is not in `needed` (keys of the needed files' paths relative to root,
// as walkKey makes them; the folders above them are needed too). The
// cover image of an album folder (`artFileName`) and the root's own
// state folder are never listed.
// `known` may hold keys of paths below root.
StaleFiles walkStale(fs::FileManager& fm, const std::string& root, const base::TextSet& needed,
                     std::string_view artFileName, const KnownKeys* known = nullptr);

}  // namespace session
