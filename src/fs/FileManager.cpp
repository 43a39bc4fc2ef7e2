#include "fs/FileManager.h"

#include <cstring>

#include "base/Guarded.h"
#include "fs/FolderListings.h"
#include "fs/PosixFileManager.h"

namespace fs {
namespace {

struct Registry {
  base::Guarded<std::shared_ptr<FileManager>> defaultManager;
  base::Guarded<std::function<std::shared_ptr<FileManager>()>> factory;
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: used until exit
  return *r;
}

// Copies each file at once: for managers that have no cheaper way to make
// many copies durable.
class ImmediateCopyBatch : public CopyBatch {
 public:
  explicit ImmediateCopyBatch(FileManager& manager) : manager_(manager) {}
  bool addCopy(const std::string& from, const std::string& to, base::FileError* error) override {
    if (!manager_.copyItemAtPath(from, to, error)) return false;
    ++pending_;
    return true;
  }
  size_t pendingCount() const override { return pending_; }
  uint64_t pendingBytes() const override { return 0; }
  std::vector<bool> commit(std::vector<base::FileError>* errors) override {
    if (errors) errors->assign(pending_, base::FileError());
    std::vector<bool> done(pending_, true);
    pending_ = 0;
    return done;
  }

 private:
  FileManager& manager_;
  size_t pending_ = 0;
};

}  // namespace

std::unique_ptr<CopyBatch> FileManager::makeCopyBatch() {
  return makeCopyBatch(CopyBatchOptions{});
}

std::unique_ptr<CopyBatch> FileManager::makeCopyBatch(const CopyBatchOptions& options) {
  // A copy below a root must keep the root's guarantees, which only the
  // POSIX batch gives.
  if (options.root) {
    PosixFileManager posix;
    posix.shareListings(listings_);  // its copies drop them as this manager's would
    {
      std::lock_guard<std::mutex> lock(lookMutex_);
      posix.noteLookFailuresIn(lookFailures_);
    }
    return posix.makeCopyBatch(options);
  }
  return std::make_unique<ImmediateCopyBatch>(*this);
}

std::shared_ptr<FileManager> FileManager::defaultManager() {
  return registry().defaultManager.update([](std::shared_ptr<FileManager>& manager) {
    if (!manager) manager = std::make_shared<PosixFileManager>();
    return manager;
  });
}

std::shared_ptr<FileManager> FileManager::makePrivate() {
  if (auto factory = registry().factory.get()) {
    if (auto manager = factory()) return manager;
  }
  return std::make_shared<PosixFileManager>();
}

void FileManager::setDefaultForTesting(std::shared_ptr<FileManager> manager) {
  registry().defaultManager.set(std::move(manager));
}

void FileManager::setFactoryForTesting(std::function<std::shared_ptr<FileManager>()> factory) {
  registry().factory.set(std::move(factory));
}

std::optional<FileAttributes> FileManager::attributesOfLinkTargetAtPath(const std::string& path,
                                                                        base::FileError* error) {
  return attributesOfItemAtPath(path, error);
}

void FileManager::shareListings(std::shared_ptr<FolderListings> listings) {
  listings_ = std::move(listings);
}

void FileManager::dropListings() const {
  if (listings_) listings_->clear();
}

void FileManager::noteLookFailuresIn(std::shared_ptr<LookFailures> failures) {
  std::lock_guard<std::mutex> lock(lookMutex_);
  lookFailures_ = std::move(failures);
}

void FileManager::noteLookFailure(int code, const std::string& path) const {
  if (code == 0 || code == ENOENT || code == ENOTDIR || code == ELOOP || code == EFBIG) return;
  std::shared_ptr<LookFailures> failures;
  {
    std::lock_guard<std::mutex> lock(lookMutex_);
    failures = lookFailures_;
  }
  if (failures) failures->add(code, path);
}

void LookFailures::add(int code, const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!paths_.insert(path).second) return;
  base::FileError error;
  error.code = code;
  error.path = path;
  const char* reason = strerrordesc_np(code);
  error.localizedDescription = "“" + path + "” couldn’t be looked at: " +
                               (reason != nullptr ? reason : "error " + std::to_string(code)) + ".";
  failures_.push_back(std::move(error));
}

std::vector<base::FileError> LookFailures::all() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failures_;
}

bool FileManager::isPartialCopyName(const std::string& name) {
  return name.compare(0, std::strlen(kPartialCopyPrefix), kPartialCopyPrefix) == 0;
}

std::vector<std::optional<FileAttributes>> FileManager::attributesOfItemsAtPaths(
    const std::vector<std::string>& paths, unsigned threads, bool needSize) {
  std::vector<std::optional<FileAttributes>> out;
  out.reserve(paths.size());
  for (const auto& path : paths) out.push_back(attributesOfItemAtPath(path, nullptr));
  return out;
}

std::vector<std::optional<FileAttributes>> FileManager::attributesOfItems(
    const std::vector<ItemQuery>& items, unsigned threads) {
  std::vector<std::optional<FileAttributes>> out;
  out.reserve(items.size());
  for (const auto& item : items)
    out.push_back(attributesOfItemAtPath(std::string(item.path), nullptr));
  return out;
}

}  // namespace fs
