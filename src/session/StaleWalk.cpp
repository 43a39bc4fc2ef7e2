#include "session/StaleWalk.h"

#include "base/Unicode.h"
#include "fs/DestinationRoot.h"
#include "fs/FileManager.h"

namespace session {
namespace {

struct Walk {
  fs::FileManager& fm;
  const base::TextSet& needed;
  // Above a needed path: views of the needed keys' beginnings.
  std::unordered_set<std::string_view, base::TextHash, std::equal_to<>> folders;
  std::string_view art;
  StaleFiles out;
  const KnownKeys* known = nullptr;
  size_t rootLength = 0;
  std::string artKey;  // art's walk key: a name of another key is not art

  // `path` and `key` are shared down the recursion: each level appends
  // its entry and puts them back before it returns.
  void folder(std::string& path, std::string& key) {
    auto entries = fm.contentsOfDirectoryAtPath(path, nullptr);
    if (!entries) return;
    const size_t pathLength = path.size(), keyLength = key.size();
    for (const auto& entry : *entries) {
      path.resize(pathLength);
      path.push_back('/');
      path += entry.name;
      // Only real folders are walked; a link to one is judged as itself.
      const bool isFolder = entry.type == fs::FileType::kDirectory;
      key.resize(keyLength);
      const std::string* made = nullptr;
      if (known) {
        auto at = known->byPath.find(std::string_view(path).substr(rootLength));
        if (at != known->byPath.end()) made = &at->second;
      }
      if (made) {
        key = *made;
      } else {
        if (keyLength != 0) key.push_back('/');
        base::unicode::appendFoldedName(key, entry.name);
      }
      if (isFolder && keyLength == 0 && entry.name == fs::DestinationRoot::kStateFolder) continue;
      if (isFolder) folder(path, key);
      const size_t nameKeyAt = keyLength == 0 ? 0 : keyLength + 1;
      if (key.size() - nameKeyAt == artKey.size() &&
          key.compare(nameKeyAt, artKey.size(), artKey) == 0 &&
          base::unicode::sameDecomposed(entry.name, art))
        continue;
      if (needed.count(key) != 0 || (isFolder && folders.count(key) != 0)) continue;
      if (!isFolder) {
        auto attributes = fm.attributesOfItemAtPath(path, nullptr);
        if (!attributes) continue;
        out.bytes += attributes->size;
      }
      out.paths.push_back(path);
    }
    path.resize(pathLength);
    key.resize(keyLength);
  }
};

}  // namespace

std::string walkKey(std::string_view relative) {
  std::string key;
  size_t start = 0;
  while (start <= relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string_view::npos) end = relative.size();
    if (!key.empty() || start != 0) key.push_back('/');
    base::unicode::appendFoldedName(key, relative.substr(start, end - start));
    start = end + 1;
  }
  return key;
}

StaleFiles walkStale(fs::FileManager& fm, const std::string& root, const base::TextSet& needed,
                     std::string_view artFileName, const KnownKeys* known) {
  Walk walk{fm, needed, {}, artFileName, {}, known, 0, {}};
  base::unicode::appendFoldedName(walk.artKey, artFileName);
  walk.folders.reserve(needed.size() / 4);
  for (const auto& key : needed) {
    for (size_t slash = key.rfind('/'); slash != std::string::npos && slash > 0;
         slash = key.rfind('/', slash - 1)) {
      if (!walk.folders.insert(std::string_view(key).substr(0, slash)).second) break;
    }
  }
  std::string path = root, key;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  // The file system's root would have the whole system judged.
  if (path.empty() || path == "/" || path[0] != '/') return {};
  walk.rootLength = path.size() + 1;
  walk.folder(path, key);
  return std::move(walk.out);
}

}  // namespace session
