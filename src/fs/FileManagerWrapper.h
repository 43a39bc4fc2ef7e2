// A file manager that hands every operation to another one, in the manner
// of LevelDB's EnvWrapper: a wrapper (a fault injector, a power cut, a
// counter) derives from it and overrides only what it changes. Shared
// listings are not handed on: the wrapped manager may serve others after
// the caller's pass, so a wrapper keeps none.
//
// Thread: as the wrapped manager. Ownership: shares the wrapped manager.
// Errors: the wrapped manager's.
#pragma once

#include <memory>
#include <utility>

#include "fs/FileManager.h"

namespace fs {

class FileManagerWrapper : public FileManager {
 public:
  explicit FileManagerWrapper(std::shared_ptr<FileManager> target) : target_(std::move(target)) {}
  const std::shared_ptr<FileManager>& target() const { return target_; }

  void noteLookFailuresIn(std::shared_ptr<LookFailures> failures) override {
    FileManager::noteLookFailuresIn(failures);
    target_->noteLookFailuresIn(std::move(failures));
  }
  bool fileExistsAtPath(const std::string& path, bool* isDirectory) override {
    return target_->fileExistsAtPath(path, isDirectory);
  }
  std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                       base::FileError* error) override {
    return target_->attributesOfItemAtPath(path, error);
  }
  std::optional<FileAttributes> attributesOfLinkTargetAtPath(const std::string& path,
                                                             base::FileError* error) override {
    return target_->attributesOfLinkTargetAtPath(path, error);
  }
  std::vector<std::optional<FileAttributes>> attributesOfItemsAtPaths(
      const std::vector<std::string>& paths, unsigned threads = 1, bool needSize = true) override {
    return target_->attributesOfItemsAtPaths(paths, threads, needSize);
  }
  std::vector<std::optional<FileAttributes>> attributesOfItems(const std::vector<ItemQuery>& items,
                                                               unsigned threads = 1) override {
    return target_->attributesOfItems(items, threads);
  }
  bool copyItemAtPath(const std::string& from, const std::string& to,
                      base::FileError* error) override {
    return target_->copyItemAtPath(from, to, error);
  }
  using FileManager::makeCopyBatch;
  std::unique_ptr<CopyBatch> makeCopyBatch(const CopyBatchOptions& options) override {
    return target_->makeCopyBatch(options);
  }
  bool createDirectoryAtPath(const std::string& path, bool intermediate,
                             base::FileError* error) override {
    return target_->createDirectoryAtPath(path, intermediate, error);
  }
  bool removeItemAtPath(const std::string& path, base::FileError* error) override {
    return target_->removeItemAtPath(path, error);
  }
  std::optional<std::vector<DirectoryEntry>> contentsOfDirectoryAtPath(
      const std::string& path, base::FileError* error) override {
    return target_->contentsOfDirectoryAtPath(path, error);
  }
  std::optional<std::vector<TreeItem>> itemsBelowPath(const std::string& path,
                                                      const std::vector<std::string>& skipAtTop,
                                                      base::FileError* error) override {
    return target_->itemsBelowPath(path, skipAtTop, error);
  }
  bool isDeletableFileAtPath(const std::string& path) override {
    return target_->isDeletableFileAtPath(path);
  }
  bool writeStringAtomically(const std::string& text, const std::string& path,
                             base::FileError* error) override {
    return target_->writeStringAtomically(text, path, error);
  }
  bool writeStringBelowRoot(const DestinationRoot& root, const std::string& text,
                            const std::string& path, base::FileError* error) override {
    return target_->writeStringBelowRoot(root, text, path, error);
  }
  std::vector<bool> writeStringsBelowRoot(const DestinationRoot& root,
                                          const std::vector<TextFile>& files,
                                          std::vector<base::FileError>* errors,
                                          const BeforeNaming& beforeNaming = nullptr) override {
    return target_->writeStringsBelowRoot(root, files, errors, beforeNaming);
  }
  bool removeItemBelowRoot(const DestinationRoot& root, const std::string& path, RemoveKind kind,
                           base::FileError* error) override {
    return target_->removeItemBelowRoot(root, path, kind, error);
  }
  bool createFolderBelowRoot(const DestinationRoot& root, const std::string& relative,
                             base::FileError* error) override {
    return target_->createFolderBelowRoot(root, relative, error);
  }
  bool settleAsideBelowRoot(const DestinationRoot& root, const std::string& path, bool* restored,
                            base::FileError* error) override {
    return target_->settleAsideBelowRoot(root, path, restored, error);
  }
  bool isWritableFileAtPath(const std::string& path) override {
    return target_->isWritableFileAtPath(path);
  }
  std::optional<std::string> canonicalPath(const std::string& path,
                                           base::FileError* error) override {
    return target_->canonicalPath(path, error);
  }
  bool isReadableFileAtPath(const std::string& path) override {
    return target_->isReadableFileAtPath(path);
  }
  bool moveItemBelowRoot(const DestinationRoot& root, const std::string& from,
                         const std::string& to, base::FileError* error) override {
    return target_->moveItemBelowRoot(root, from, to, error);
  }
  std::optional<uint64_t> readBackChecksum(const std::string& path,
                                           base::FileError* error) override {
    return target_->readBackChecksum(path, error);
  }
  std::optional<bool> isPrefixOfFile(const std::string& part, const std::string& whole,
                                     base::FileError* error) override {
    return target_->isPrefixOfFile(part, whole, error);
  }
  std::optional<std::string> readSmallFile(const std::string& path, size_t limit,
                                           base::FileError* error) override {
    return target_->readSmallFile(path, limit, error);
  }

 protected:
  std::shared_ptr<FileManager> target_;
};

}  // namespace fs
