#include "compat/export/CTrackSync.h"

#include <cerrno>
#include <optional>
#include <unordered_set>

#include "base/Log.h"
#include "base/Path.h"
#include "base/Text.h"
#include "base/Unicode.h"
#include "compat/catalogue/CTrack.h"
#include "compat/catalogue/CTrackCarrier.h"
#include "compat/runtime/Exception.h"
#include "compat/shell/FailureContainment.h"
#include "compat/shell/stAutoReleasePool.h"
#include "fs/DestinationRoot.h"
#include "fs/DriveRecord.h"
#include "fs/InsideFolder.h"

namespace exporter {
namespace {

std::vector<std::string_view> splitComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t slash = path.find('/', i);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > i) parts.push_back(path.substr(i, slash - i));
    i = slash + 1;
  }
  return parts;
}

// The root as walked and compared: absolute, no trailing slash, and not
// the file system's root (a pass there would judge the whole system).
std::optional<std::string> usableRoot(const std::optional<std::string>& root) {
  if (!root || root->empty() || (*root)[0] != '/') return std::nullopt;
  std::string r = *root;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  if (r == "/") return std::nullopt;
  for (std::string_view part : splitComponents(r)) {
    if (part == "." || part == "..") return std::nullopt;
  }
  return r;
}

// Adds every folder above `key` (value true), stopping at the first one
// already present: its ancestors went in with it.
void addFoldersOfKey(std::string_view key, PathDict& dict) {
  std::string_view folder = key;
  for (;;) {
    size_t slash = folder.rfind('/');
    if (slash == std::string_view::npos) return;
    folder = folder.substr(0, slash);
    if (dict.find(folder) != dict.end()) return;
    dict.emplace(folder, true);
  }
}

}  // namespace

CTrackSync::~CTrackSync() {
  setDeleteList(std::nullopt);
  setFm(nullptr);
}

std::optional<PathList> CTrackSync::deleteList() const { return deleteList_.get(); }

// The value replaced is let go outside the lock.
void CTrackSync::setDeleteList(std::optional<PathList> list) {
  deleteList_.exchange(std::move(list));
}

std::shared_ptr<fs::FileManager> CTrackSync::fm() const { return fm_.get(); }

void CTrackSync::setFm(std::shared_ptr<fs::FileManager> fm) { fm_.exchange(std::move(fm)); }

std::shared_ptr<fs::FileManager> CTrackSync::ensureFm() {
  return fm_.update([](std::shared_ptr<fs::FileManager>& fm) {
    if (!fm) fm = fs::FileManager::makePrivate();
    return fm;
  });
}

void CTrackSync::ensureList() {
  deleteList_.update([](std::optional<PathList>& list) {
    if (!list) {
      list.emplace();
      list->reserve(500);
    }
  });
}

void CTrackSync::append(const std::string& path) {
  deleteList_.update([&](std::optional<PathList>& list) {
    if (!list) list.emplace();
    list->push_back(path);
  });
}

std::optional<std::string> CTrackSync::keyForRelativePath(const std::string& relPath) {
  std::string key;
  key.reserve(relPath.size());
  // A component's key never holds a slash, so the last slash of the key
  // is where ".." takes it back to.
  size_t depth = 0;
  std::string_view rest = relPath;
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (depth == 0) return std::nullopt;
      --depth;
      size_t last = key.rfind('/');
      key.resize(last == std::string::npos ? 0 : last);
      continue;
    }
    if (!key.empty()) key.push_back('/');
    ++depth;
    base::unicode::appendFoldedName(key, part);
  }
  return key;
}

void CTrackSync::addDirectoriesOfRelPath(const std::string& relPath, PathDict& dict) {
  std::optional<std::string> key = keyForRelativePath(relPath);
  if (key) addFoldersOfKey(*key, dict);
}

std::shared_ptr<CTrackSync> CTrackSync::deleteList(std::shared_ptr<fs::FileManager> fm) {
  auto result = std::make_shared<CTrackSync>();
  result->setFm(std::move(fm));
  result->setDeleteList(PathList{});
  try {
    shell::stAutoReleasePool pool;
    catalogue::TrackRegistry& registry = catalogue::CTrack::trackDict();
    // Tens of thousands of keys, let go at once with the arena.
    std::pmr::monotonic_buffer_resource arena;
    PathDict dict(&arena);
    dict.reserve(registry.size() * 2);
    registry.forEachValue([&dict](const catalogue::CTrackCarrier& carrier) {
      catalogue::CTrack::Ptr track = carrier.track();
      if (!track || !track->trackShouldCopy()) return;
      std::optional<std::string> key = keyForRelativePath(track->destPathRel());
      if (!key || key->empty()) return;
      auto added = dict.emplace(std::string_view(*key), false);
      addFoldersOfKey(added.first->first, dict);
    });
    // A needed-path set cut short by an exception never gets here, so it
    // can never make needed files look stale.
    std::optional<std::string> root = catalogue::CTrack::destinationBasePath();
    if (root) result->setDeleteSize(result->buildDeleteListWithPathDict(dict, *root, *root));
  } catch (const platform::Exception& e) {
    shell::logCaughtException("exception deleteList Exception: %@ Reason: %@", e);
  }
  result->setFm(nullptr);
  return result;
}

uint64_t CTrackSync::buildDeleteListWithPathDict(const PathDict& dict, const std::string& rootPath,
                                                 const std::string& basePath) {
  std::shared_ptr<fs::FileManager> fm = ensureFm();
  ensureList();
  std::optional<std::string> base = usableRoot(basePath);
  std::optional<std::string> root = usableRoot(rootPath);
  if (!base || !root) return 0;
  std::optional<std::string> rel = pathMinusBaseFromPath(*root, *base);
  if (!rel) return 0;
  std::optional<std::string> key = keyForRelativePath(*rel);
  if (!key) return 0;
  artFileName_ = catalogue::CTrack::artFileName();
  std::string path = std::move(*root);
  path.reserve(4096);
  key->reserve(4096);
  return walk(dict, *fm, path, *key);
}

// `path` and `key` are buffers shared down the recursion: each level
// appends its entry and restores them before returning.
uint64_t CTrackSync::walk(const PathDict& dict, fs::FileManager& fm, std::string& path,
                          std::string& key) {
  base::FileError error;
  std::optional<std::vector<fs::DirectoryEntry>> entries =
      fm.contentsOfDirectoryAtPath(path, &error);
  if (!entries) return 0;
  shell::stAutoReleasePool pool;
  const size_t pathLength = path.size();
  const size_t keyLength = key.size();
  uint64_t size = 0;
  for (const fs::DirectoryEntry& entry : *entries) {
    path.resize(pathLength);
    path.push_back('/');
    path += entry.name;
    key.resize(keyLength);
    if (keyLength != 0) key.push_back('/');
    base::unicode::appendFoldedName(key, entry.name);

    // Only real folders are descended; a link to one is judged as itself.
    const bool isFolder = entry.type == fs::FileType::kDirectory;
    // The exporter's own record of what it wrote is no media file: losing
    // it would make every exported file look like the user's.
    if (isFolder && keyLength == 0 && entry.name == fs::DestinationRoot::kStateFolder) continue;
    if (isFolder) size += walk(dict, fm, path, key);
    if (base::unicode::sameDecomposed(entry.name, artFileName_)) continue;
    if (dict.find(key) != dict.end()) continue;
    if (!isFolder) {
      std::optional<fs::FileAttributes> attributes = fm.attributesOfItemAtPath(path, &error);
      if (!attributes) {
        base::logFormat("attributesOfItemAtPath error: %@", error.localizedDescription);
        continue;
      }
      size += attributes->size;
    }
    append(path);
  }
  path.resize(pathLength);
  key.resize(keyLength);
  return size;
}

void CTrackSync::deleteAllInList() {
  std::shared_ptr<fs::FileManager> fm = ensureFm();
  ensureList();
  PathList list = deleteList().value_or(PathList{});
  std::optional<std::string> root = usableRoot(catalogue::CTrack::destinationBasePath());
  // A track whose file lies below the root, by the file system's word
  // (through a link, a bind mount, "//" or "/./"), would have its only
  // copy judged stale: nothing is deleted then.
  if (root) {
    fs::InsideFolder inside(*root);
    std::string example;
    catalogue::CTrack::trackDict().forEachValue([&](const catalogue::CTrackCarrier& carrier) {
      catalogue::CTrack::Ptr track = carrier.track();
      if (!track || !example.empty()) return;
      std::string source = track->sourcePath();
      if (inside.contains(source)) example = source;
    });
    if (!example.empty()) {
      base::logFormat(
          "deleteAllInList error: nothing deleted, since tracks' own files lie inside %@ (such as "
          "%@)",
          *root, example);
      setDeleteList(std::nullopt);
      setFm(nullptr);
      return;
    }
  }
  // Deleting below an export another process is writing would take files
  // it is about to name: the export's lock first.
  std::string holder;
  std::optional<fs::RootLock> exportLock;
  if (root) {
    auto lock = fs::DestinationRoot::lockExportOf(*root, &holder);
    if (lock && *lock) {
      exportLock.emplace(std::move(**lock));
    } else if (lock && lock->status().code() == EWOULDBLOCK) {
      base::logFormat("deleteAllInList error: another export is writing to %@ (process %@)", *root,
                      holder.empty() ? std::string("unknown") : holder);
      return;
    }
  }
  // The export's record forgets what is deleted here as it goes, so that
  // no entry speaks for a file that is gone.
  std::optional<base::Result<fs::DriveRecord::OfTracks>> exportRecord;
  if (root && exportLock) exportRecord = fs::DriveRecord::ofTracksFolder(*root);
  std::vector<std::string> removedKeys;
  auto noteRemovals = [&](bool now) {
    if (removedKeys.empty() || (!now && removedKeys.size() < 64)) return;
    if (exportRecord && *exportRecord) {
      auto s = (*exportRecord)->writer->remove(removedKeys, true);
      if (!s.ok()) base::logFormat("deleteAllInList error: %@", s.message());
    }
    removedKeys.clear();
  };
  std::unordered_set<std::string> realFolders;

  // Whether `path` lies strictly below the root, reached through real
  // folders only (a folder swapped for a link since the walk must not
  // lead the removal elsewhere).
  auto insideRoot = [&](const std::string& path) {
    if (!root) return false;
    std::optional<std::string> rel = pathMinusBaseFromPath(path, *root);
    if (!rel) return false;
    std::vector<std::string_view> parts = splitComponents(*rel);
    if (parts.empty()) return false;
    for (std::string_view part : parts) {
      if (part == "." || part == "..") return false;
    }
    std::string folder = *root;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      folder.push_back('/');
      folder += parts[i];
      if (realFolders.count(folder) != 0) continue;
      std::optional<fs::FileAttributes> attributes = fm->attributesOfItemAtPath(folder, nullptr);
      if (!attributes || attributes->type != fs::FileType::kDirectory) return false;
      realFolders.insert(folder);
    }
    return true;
  };

  for (const std::string& path : list) {
    if (!insideRoot(path)) {
      std::string name = base::lastComponent(path);
      base::logFormat(
          "deleteAllInList error: %@",
          "The file “" + name + "” couldn’t be removed: it is not inside the destination folder.");
      continue;
    }
    if (!fm->isDeletableFileAtPath(path)) continue;
    base::FileError error;
    if (!fm->removeItemAtPath(path, &error)) {
      base::logFormat("deleteAllInList error: %@", error.localizedDescription);
    } else if (exportRecord && *exportRecord) {
      std::string rel = pathMinusBaseFromPath(path, *root).value_or("");
      if (!rel.empty() && rel[0] == '/') rel.erase(0, 1);
      removedKeys.push_back(fs::recordKey((*exportRecord)->prefix + rel));
      noteRemovals(false);
    }
  }
  noteRemovals(true);
  setDeleteList(std::nullopt);
  setFm(nullptr);
}

std::optional<std::string> CTrackSync::pathMinusBaseFromPath(const std::string& path,
                                                             const std::string& base) {
  if (base.empty() || path.compare(0, base.size(), base) != 0) return std::nullopt;
  std::string rest = path.substr(base.size());
  // "/Volumes/DRIVE2/x" does not lie in "/Volumes/DRIVE".
  if (!rest.empty() && rest[0] != '/' && base.back() != '/') return std::nullopt;
  return rest;
}

std::optional<std::string> CTrackSync::pathMinusBaseFromURL(const std::string& url,
                                                            const std::string& base) {
  static constexpr std::string_view kScheme = "file://";
  if (url.size() < kScheme.size()) return std::nullopt;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    char c = url[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[i]) {
      return std::nullopt;
    }
  }
  std::string_view rest = std::string_view(url).substr(kScheme.size());
  size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") return std::nullopt;
  std::string_view encoded = rest.substr(slash);
  encoded = encoded.substr(0, encoded.find_first_of("?#"));

  std::optional<std::string> decodedPath = base::text::percentDecode(encoded);
  if (!decodedPath) return std::nullopt;
  const std::string& decoded = *decodedPath;

  std::vector<std::string_view> kept;
  for (std::string_view part : splitComponents(decoded)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  std::string standardized(kept.empty() ? 1 : 0, '/');
  for (std::string_view part : kept) {
    standardized.push_back('/');
    standardized += part;
  }
  return pathMinusBaseFromPath(base::unicode::nfd(standardized), base);
}

}  // namespace exporter
