#include "platform/FolderListings.h"

#include <utility>

namespace platform {

std::shared_ptr<const FolderListings::Entries> FolderListings::find(
    const std::string& folder) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = listings_.find(folder);
  return it == listings_.end() ? nullptr : it->second;
}

void FolderListings::keep(std::string folder, Entries entries) {
  auto listing = std::make_shared<const Entries>(std::move(entries));
  std::lock_guard<std::mutex> lock(mutex_);
  listings_.insert_or_assign(std::move(folder), std::move(listing));
}

void FolderListings::clear() {
  std::unordered_map<std::string, std::shared_ptr<const Entries>> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old.swap(listings_);
  }
}

size_t FolderListings::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listings_.size();
}

}  // namespace platform
