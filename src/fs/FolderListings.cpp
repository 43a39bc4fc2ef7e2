#include "fs/FolderListings.h"

#include <utility>

namespace fs {

std::optional<FolderListings::Entries> FolderListings::take(const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto node = listings_.extract(folder);
  if (node.empty()) return std::nullopt;
  return std::move(node.mapped());
}

void FolderListings::keep(std::string folder, Entries entries) {
  std::lock_guard<std::mutex> lock(mutex_);
  listings_.insert_or_assign(std::move(folder), std::move(entries));
}

void FolderListings::clear() {
  std::unordered_map<std::string, Entries> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old.swap(listings_);
  }
}

size_t FolderListings::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listings_.size();
}

}  // namespace fs
