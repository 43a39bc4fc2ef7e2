// The stale-file pass: lists every file and folder under the destination
// root that no track to be copied needs, with the bytes they take, and
// deletes them when asked.
//
// Paths are compared by key: the path relative to the root, split into
// components (empty and "." components dropped, ".." taking one back),
// each in Normalization Form D and upper case, joined by single slashes,
// with no slash in front. A track's relative path and a path found on the
// drive therefore match whatever the slashes between root and relative
// path, and whatever the letter case and Unicode composition.
//
// Safety: the walk never follows a symbolic link (a link is judged and
// listed as itself) and never leaves the root; deleteAllInList removes
// only items strictly below the current destination root, reached
// through real folders. A file named exactly "folder.jpg" is never
// listed, nor the exporter's state folder (".tessaline") at the top of
// the walk. A copy's leftover temporary is needed by no track, so it is
// listed like any stale file.
//
// Ownership: deleteList() (the class method) hands the caller a new
// object. The file manager is held only while an operation runs.
// Thread: an object is used by one thread at a time (the script's); its
// accessors are atomic. The track registry is read as the catalogue
// allows (a disturbed walk throws the framework exception, which the
// class method logs and contains).
// Errors: failed file operations are logged with their fixed lines
// ("attributesOfItemAtPath error: %@", "deleteAllInList error: %@") and
// never stop the pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/Guarded.h"
#include "fs/FileManager.h"

namespace exporter {

// Hash and compare a key and a view of one alike, so that a folder of a
// key is looked up without a copy.
struct PathKeyHash {
  using is_transparent = void;
  size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};
struct PathKeyEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};
// The needed-path set of one pass: key -> whether it is a folder above a
// needed file (true) or a needed path itself (false). Its memory may come
// from an arena that goes with the pass.
using PathDict = std::pmr::unordered_map<std::pmr::string, bool, PathKeyHash, PathKeyEqual>;
using PathList = std::vector<std::string>;

class CTrackSync {
 public:
  using Ptr = std::shared_ptr<CTrackSync>;

  CTrackSync() = default;
  ~CTrackSync();
  CTrackSync(const CTrackSync&) = delete;
  CTrackSync& operator=(const CTrackSync&) = delete;

  // The class method: builds the needed-path set from the track registry
  // and walks the destination root, with `fm` (none: a private manager
  // from FileManager::makePrivate()). A new object, its list filled
  // (empty when no root is set) and its file manager let go. A framework
  // exception is logged ("exception deleteList ...") and leaves the list
  // and size found so far.
  static Ptr deleteList(std::shared_ptr<fs::FileManager> fm);

  // Deletes the listed items in list order (a folder's contents before
  // the folder), skipping what the file system says cannot be deleted;
  // then the list (none) and the file manager are let go.
  void deleteAllInList();

  // Adds the key of every folder above `relPath` (value true), stopping
  // at the first one already present.
  static void addDirectoriesOfRelPath(const std::string& relPath, PathDict& dict);

  // Walks `rootPath` and everything below it, appending to the list every
  // item whose key (relative to `basePath`) is not in `dict`, except
  // "folder.jpg" files. Returns the bytes of the files it listed (folders
  // and unreadable entries count 0). A `rootPath` not inside `basePath`
  // is not walked (0).
  uint64_t buildDeleteListWithPathDict(const PathDict& dict, const std::string& rootPath,
                                       const std::string& basePath);

  // The rest of `path` after `base` when `path` lies in `base` (equal to
  // it, or below it at a component boundary); none otherwise.
  static std::optional<std::string> pathMinusBaseFromPath(const std::string& path,
                                                          const std::string& base);
  // The same for a "file://" URL, whose path is percent-decoded and
  // standardised ("." and ".." resolved) first; none for another URL.
  static std::optional<std::string> pathMinusBaseFromURL(const std::string& url,
                                                         const std::string& base);

  // The key of a relative path (see above); none when ".." climbs above
  // the root.
  static std::optional<std::string> keyForRelativePath(const std::string& relPath);

  // ---- Fields ----------------------------------------------------------
  std::optional<PathList> deleteList() const;
  void setDeleteList(std::optional<PathList> list);
  std::shared_ptr<fs::FileManager> fm() const;
  void setFm(std::shared_ptr<fs::FileManager> fm);
  uint64_t deleteSize() const { return deleteSize_.load(std::memory_order_relaxed); }
  void setDeleteSize(uint64_t v) { deleteSize_.store(v, std::memory_order_relaxed); }

 private:
  std::shared_ptr<fs::FileManager> ensureFm();
  void ensureList();
  uint64_t walk(const PathDict& dict, fs::FileManager& fm, std::string& path, std::string& key);
  void append(const std::string& path);

  base::Guarded<std::optional<PathList>> deleteList_;
  base::Guarded<std::shared_ptr<fs::FileManager>> fm_;
  std::atomic<uint64_t> deleteSize_{0};
  std::string artFileName_;  // for the walk under way
};

}  // namespace exporter
