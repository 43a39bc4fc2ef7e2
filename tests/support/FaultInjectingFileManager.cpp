#include "support/FaultInjectingFileManager.h"

#include <algorithm>
#include <cerrno>

#include "fs/DestinationRoot.h"
#include "fs/PosixFileManager.h"
#include "fs/ReplaceFile.h"

namespace fs {
namespace {

size_t index(FileOp op) { return static_cast<size_t>(op); }

const char* actionOf(FileOp op) {
  switch (op) {
    case FileOp::kCopy:
      return "copied";
    case FileOp::kCreateDirectory:
      return "created";
    case FileOp::kRemove:
      return "removed";
    case FileOp::kFlush:
      return "copied";
    case FileOp::kRead:
      return "read";
    case FileOp::kWrite:
      return "written";
    case FileOp::kMove:
      return "moved";
    default:
      return "opened";
  }
}

}  // namespace

FaultInjectingFileManager::FaultInjectingFileManager(std::shared_ptr<FileManager> target)
    : FileManagerWrapper(target ? std::move(target) : std::make_shared<PosixFileManager>()) {}

FaultInjectingFileManager::~FaultInjectingFileManager() {
  if (renameOverRefused_) refuseRenameOverForTesting(0);
}

void FaultInjectingFileManager::refuseRenameOver(int code) {
  renameOverRefused_ = code != 0;
  refuseRenameOverForTesting(code);
}

void FaultInjectingFileManager::failNth(FileOp op, uint64_t n, int code) {
  std::lock_guard<std::mutex> lock(mutex_);
  oneShot_[index(op)] = OneShot{n == 0 ? 0 : counts_[index(op)].load() + n, code};
  lastFault_.clear();
}

void FaultInjectingFileManager::failAll(FileOp op, int code) {
  std::lock_guard<std::mutex> lock(mutex_);
  always_[index(op)] = code;
}

void FaultInjectingFileManager::setNoSpaceAfterBytes(std::optional<uint64_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  spaceLeft_ = bytes;
}

void FaultInjectingFileManager::makeUnreadable(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  std::lock_guard<std::mutex> lock(mutex_);
  unreadable_.push_back(std::move(p));
}

void FaultInjectingFileManager::corruptReadBack(const std::string& suffix) {
  std::lock_guard<std::mutex> lock(mutex_);
  corruptReadBack_.push_back(suffix);
}

std::optional<bool> FaultInjectingFileManager::isPrefixOfFile(const std::string& part,
                                                              const std::string& whole,
                                                              base::FileError* error) {
  if (int e = begin(FileOp::kRead, part, true)) {
    setFileError(error, e, part, actionOf(FileOp::kRead));
    return std::nullopt;
  }
  return target_->isPrefixOfFile(part, whole, error);
}

std::optional<std::string> FaultInjectingFileManager::readSmallFile(const std::string& path,
                                                                    size_t limit,
                                                                    base::FileError* error) {
  if (int e = begin(FileOp::kRead, path, true)) {
    setFileError(error, e, path, actionOf(FileOp::kRead));
    return std::nullopt;
  }
  return target_->readSmallFile(path, limit, error);
}

bool FaultInjectingFileManager::writeStringAtomically(const std::string& text,
                                                      const std::string& path,
                                                      base::FileError* error) {
  if (int e = begin(FileOp::kWrite, path, false)) {
    setFileError(error, e, path, actionOf(FileOp::kWrite));
    return false;
  }
  return target_->writeStringAtomically(text, path, error);
}

std::vector<bool> FaultInjectingFileManager::writeStringsBelowRoot(
    const DestinationRoot& root, const std::vector<TextFile>& files,
    std::vector<base::FileError>* errors, const BeforeNaming& beforeNaming) {
  if (int e = begin(FileOp::kWrite, root.path(), false)) {
    if (errors) {
      errors->assign(files.size(), base::FileError{});
      for (size_t i = 0; i < files.size(); ++i)
        setFileError(&(*errors)[i], e, files[i].path, actionOf(FileOp::kWrite));
    }
    return std::vector<bool>(files.size(), false);
  }
  return target_->writeStringsBelowRoot(root, files, errors, beforeNaming);
}

std::optional<uint64_t> FaultInjectingFileManager::readBackChecksum(const std::string& path,
                                                                    base::FileError* error) {
  if (int e = begin(FileOp::kRead, path, true)) {
    setFileError(error, e, path, actionOf(FileOp::kRead));
    return std::nullopt;
  }
  auto sum = target_->readBackChecksum(path, error);
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& suffix : corruptReadBack_) {
    if (sum && path.size() >= suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return *sum ^ 1;
    }
  }
  return sum;
}

void FaultInjectingFileManager::clearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  oneShot_ = {};
  always_ = {};
  spaceLeft_.reset();
  unreadable_.clear();
  corruptReadBack_.clear();
  if (renameOverRefused_) refuseRenameOver(0);
}

uint64_t FaultInjectingFileManager::count(FileOp op) const { return counts_[index(op)].load(); }

uint64_t FaultInjectingFileManager::totalCount() const {
  uint64_t total = 0;
  for (const auto& c : counts_) total += c.load();
  return total;
}

void FaultInjectingFileManager::resetCounts() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < kFileOpCount; ++i) {
    // Keep a pending one-shot failure at the same distance.
    uint64_t old = counts_[i].exchange(0);
    if (oneShot_[i].at != 0) oneShot_[i].at = oneShot_[i].at > old ? oneShot_[i].at - old : 1;
  }
}

bool FaultInjectingFileManager::isUnreadable(const std::string& path) const {
  for (const std::string& p : unreadable_) {
    if (path.compare(0, p.size(), p) != 0) continue;
    if (path.size() == p.size() || path[p.size()] == '/' || p == "/") return true;
  }
  return false;
}

int FaultInjectingFileManager::begin(FileOp op, const std::string& path, bool checkReadable) {
  int code = decide(op, path, checkReadable);
  // A failed look is noted as the file manager it stands for would.
  if (op == FileOp::kExists || op == FileOp::kAttributes || op == FileOp::kList ||
      op == FileOp::kRead)
    noteLookFailure(code, path);
  return code;
}

int FaultInjectingFileManager::decide(FileOp op, const std::string& path, bool checkReadable) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t n = counts_[index(op)].fetch_add(1) + 1;
  OneShot& shot = oneShot_[index(op)];
  if (shot.at != 0 && n == shot.at) {
    shot.at = 0;
    lastFault_ = path;
    return shot.code;
  }
  if (always_[index(op)] != 0) return always_[index(op)];
  if (checkReadable && isUnreadable(path)) return EACCES;
  return 0;
}

bool FaultInjectingFileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) {
  if (begin(FileOp::kExists, path, false) != 0) {
    if (isDirectory != nullptr) *isDirectory = false;
    return false;
  }
  return target_->fileExistsAtPath(path, isDirectory);
}

std::optional<FileAttributes> FaultInjectingFileManager::attributesOfItemAtPath(
    const std::string& path, base::FileError* error) {
  if (int e = begin(FileOp::kAttributes, path, true)) {
    setFileError(error, e, path, actionOf(FileOp::kAttributes));
    return std::nullopt;
  }
  return target_->attributesOfItemAtPath(path, error);
}

std::optional<FileAttributes> FaultInjectingFileManager::attributesOfLinkTargetAtPath(
    const std::string& path, base::FileError* error) {
  if (int e = begin(FileOp::kAttributes, path, true)) {
    setFileError(error, e, path, actionOf(FileOp::kAttributes));
    return std::nullopt;
  }
  return target_->attributesOfLinkTargetAtPath(path, error);
}

bool FaultInjectingFileManager::copyItemAtPath(const std::string& from, const std::string& to,
                                               base::FileError* error) {
  if (int e = begin(FileOp::kCopy, from, true)) {
    setFileError(error, e, from, actionOf(FileOp::kCopy));
    return false;
  }
  return target_->copyItemAtPath(from, to, error);
}

bool FaultInjectingFileManager::spaceLimited() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return spaceLeft_.has_value();
}

std::function<int(uint64_t, uint64_t*)> FaultInjectingFileManager::spaceGate() {
  return [this](uint64_t, uint64_t* length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spaceLeft_) return 0;
    int result = 0;
    if (*length > *spaceLeft_) {
      *length = *spaceLeft_;
      result = ENOSPC;
    }
    *spaceLeft_ -= *length;
    return result;
  };
}

// The wrapped manager's batch, with this manager's counts and faults.
class FaultInjectingCopyBatch : public CopyBatch {
 public:
  FaultInjectingCopyBatch(FaultInjectingFileManager& owner, FileManager& target,
                          CopyBatchOptions options)
      : owner_(owner), target_(target), options_(std::move(options)), inner_(makeInner()) {}

  bool addCopy(const std::string& from, const std::string& to, base::FileError* error) override {
    if (int e = owner_.begin(FileOp::kCopy, from, true)) {
      setFileError(error, e, from, actionOf(FileOp::kCopy));
      return false;
    }
    if (!inner_->addCopy(from, to, error)) return false;
    sources_.push_back(from);
    return true;
  }
  size_t pendingCount() const override { return inner_->pendingCount(); }
  uint64_t pendingBytes() const override { return inner_->pendingBytes(); }

  std::vector<bool> commit(std::vector<base::FileError>* errors) override {
    std::vector<std::string> sources;
    sources.swap(sources_);
    if (sources.empty()) return inner_->commit(errors);
    if (int e = owner_.begin(FileOp::kFlush, "", false)) {
      inner_ = makeInner();  // the old batch removes its temporaries
      if (errors) {
        errors->assign(sources.size(), base::FileError());
        for (size_t i = 0; i < sources.size(); ++i)
          setFileError(&(*errors)[i], e, sources[i], "copied");
      }
      return std::vector<bool>(sources.size(), false);
    }
    return inner_->commit(errors);
  }

 private:
  std::unique_ptr<CopyBatch> makeInner() {
    CopyBatchOptions options = options_;
    if (owner_.spaceLimited()) options.chunkGate = owner_.spaceGate();
    return target_.makeCopyBatch(options);
  }

  FaultInjectingFileManager& owner_;
  FileManager& target_;
  CopyBatchOptions options_;
  std::unique_ptr<CopyBatch> inner_;
  std::vector<std::string> sources_;  // of the pending copies, in order
};

std::unique_ptr<CopyBatch> FaultInjectingFileManager::makeCopyBatch(
    const CopyBatchOptions& options) {
  return std::make_unique<FaultInjectingCopyBatch>(*this, *target_, options);
}

bool FaultInjectingFileManager::moveItemBelowRoot(const DestinationRoot& root,
                                                  const std::string& from, const std::string& to,
                                                  base::FileError* error) {
  if (int e = begin(FileOp::kMove, from, false)) {
    setFileError(error, e, from, actionOf(FileOp::kMove));
    return false;
  }
  return target_->moveItemBelowRoot(root, from, to, error);
}

bool FaultInjectingFileManager::removeItemBelowRoot(const DestinationRoot& root,
                                                    const std::string& path, RemoveKind kind,
                                                    base::FileError* error) {
  if (int e = begin(FileOp::kRemove, path, false)) {
    setFileError(error, e, path, actionOf(FileOp::kRemove));
    return false;
  }
  return target_->removeItemBelowRoot(root, path, kind, error);
}

bool FaultInjectingFileManager::createDirectoryAtPath(const std::string& path, bool intermediate,
                                                      base::FileError* error) {
  if (int e = begin(FileOp::kCreateDirectory, path, false)) {
    setFileError(error, e, path, actionOf(FileOp::kCreateDirectory));
    return false;
  }
  return target_->createDirectoryAtPath(path, intermediate, error);
}

bool FaultInjectingFileManager::removeItemAtPath(const std::string& path, base::FileError* error) {
  if (int e = begin(FileOp::kRemove, path, false)) {
    setFileError(error, e, path, actionOf(FileOp::kRemove));
    return false;
  }
  return target_->removeItemAtPath(path, error);
}

std::optional<std::vector<DirectoryEntry>> FaultInjectingFileManager::contentsOfDirectoryAtPath(
    const std::string& path, base::FileError* error) {
  if (int e = begin(FileOp::kList, path, true)) {
    setFileError(error, e, path, actionOf(FileOp::kList));
    return std::nullopt;
  }
  return target_->contentsOfDirectoryAtPath(path, error);
}

std::optional<std::vector<TreeItem>> FaultInjectingFileManager::itemsBelowPath(
    const std::string& path, const std::vector<std::string>& skipAtTop, base::FileError* error) {
  if (int e = begin(FileOp::kList, path, true)) {
    setFileError(error, e, path, actionOf(FileOp::kList));
    return std::nullopt;
  }
  return target_->itemsBelowPath(path, skipAtTop, error);
}

bool FaultInjectingFileManager::createFolderBelowRoot(const DestinationRoot& root,
                                                      const std::string& relative,
                                                      base::FileError* error) {
  const std::string path = root.path() + "/" + relative;
  if (int e = begin(FileOp::kCreateDirectory, path, false)) {
    setFileError(error, e, path, actionOf(FileOp::kCreateDirectory));
    return false;
  }
  return target_->createFolderBelowRoot(root, relative, error);
}

bool FaultInjectingFileManager::settleAsideBelowRoot(const DestinationRoot& root,
                                                     const std::string& path, bool* restored,
                                                     base::FileError* error) {
  if (int e = begin(FileOp::kMove, path, false)) {
    setFileError(error, e, path, actionOf(FileOp::kMove));
    return false;
  }
  return target_->settleAsideBelowRoot(root, path, restored, error);
}

bool FaultInjectingFileManager::isWritableFileAtPath(const std::string& path) {
  if (begin(FileOp::kDeletable, path, false) != 0) return false;
  return target_->isWritableFileAtPath(path);
}

std::optional<std::string> FaultInjectingFileManager::canonicalPath(const std::string& path,
                                                                    base::FileError* error) {
  if (int e = begin(FileOp::kAttributes, path, true)) {
    setFileError(error, e, path, actionOf(FileOp::kAttributes));
    return std::nullopt;
  }
  return target_->canonicalPath(path, error);
}

bool FaultInjectingFileManager::isDeletableFileAtPath(const std::string& path) {
  if (begin(FileOp::kDeletable, path, false) != 0) return false;
  return target_->isDeletableFileAtPath(path);
}

}  // namespace fs
