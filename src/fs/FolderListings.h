// Folder listings read once and shared by the passes that look at the
// same folders: the presence checks keep the listing of each destination
// folder they read, and the stale walk takes the folder's listing from
// here instead of reading it from the disk a second time. A file manager
// given these (see FileManager::shareListings) keeps what its lookups
// list and hands each listing to the first contentsOfDirectoryAtPath of
// that folder.
//
// A listing is as old as the moment it was read. A manager that holds
// these empties them whenever it writes anything; other writers do not
// know them, so the owner keeps them only over passes in which nothing
// writes below those folders (one plan), then lets them go.
//
// Folders are keyed by their path exactly as it was listed; a listing is
// only kept of a real folder (not one reached through a link in the last
// component), as contentsOfDirectoryAtPath reads it.
//
// Thread: every member may be called from any thread (one lock).
// Ownership: shared by the managers that keep listings in it.
// Errors: none.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/FileManager.h"

namespace fs {

class FolderListings {
 public:
  using Entries = std::vector<DirectoryEntry>;

  // The listing kept for `folder` (entries in the order read), handed
  // over and no longer kept: a walk reads each folder once. None when
  // none is kept.
  std::optional<Entries> take(const std::string& folder);
  // Keeps the listing of `folder`, replacing one kept before.
  void keep(std::string folder, Entries entries);
  // Forgets every listing: something was written.
  void clear();
  size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entries> listings_;
};

}  // namespace fs
