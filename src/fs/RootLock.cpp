#include "fs/RootLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <utility>

#include "fs/StateFile.h"

namespace fs {

struct RootLock::Entry {
  std::pair<dev_t, ino_t> key;
  int fd = -1;
  size_t holders = 0;  // guarded by the registry's mutex
  std::mutex writeMutex;
  RecordTally recordTally;  // guarded by writeMutex
};

namespace {

const char* kLockName = "lock";

struct LockRegistry {
  std::mutex mutex;
  std::map<std::pair<dev_t, ino_t>, std::shared_ptr<RootLock::Entry>> roots;
};

LockRegistry& lockRegistry() {
  // Never destroyed: holders may outlive static destruction at exit.
  static LockRegistry* r = new LockRegistry;
  return *r;
}

std::string readHolder(int fd) {
  char buffer[32] = {};
  ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
  std::string holder(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
  return holder;
}

// Takes the flock of the lock file: the descriptor, or the Status of the
// failure. The file is opened anew until the one locked is the one the
// name stands for and has no other links, as another process may have
// put a fresh file in its place meanwhile.
base::Result<int> flockLockFile(int folder, const std::string& display, std::string* holder) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    struct stat st;
    base::Result<int> fd = openStateFile(folder, kLockName, O_RDWR | O_CREAT, display, &st);
    if (!fd) return fd;
    if (flock(*fd, LOCK_EX | LOCK_NB) != 0) {
      int e = errno;
      std::string who = readHolder(*fd);
      close(*fd);
      if (e != EWOULDBLOCK) return base::Status::fromErrno(e, "cannot lock", display);
      if (holder != nullptr) *holder = who;
      return base::Status::failure(
          "cannot lock", display,
          "another export holds it" + (who.empty() ? std::string() : " (process " + who + ")"),
          EWOULDBLOCK);
    }
    struct stat now;
    bool current = fstatat(folder, kLockName, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                   now.st_dev == st.st_dev && now.st_ino == st.st_ino;
    if (current && now.st_nlink == 1) return *fd;
    base::Status replaced;
    if (current) replaced = replaceStateFile(folder, kLockName, "", display);
    close(*fd);
    if (!replaced.ok()) return replaced;
  }
  return base::Status::failure("cannot lock", display, "it keeps being replaced", EAGAIN);
}

}  // namespace

base::Result<RootLock> RootLock::acquire(int stateFolder, dev_t device, ino_t inode,
                                         const std::string& lockPath, std::string* holder) {
  LockRegistry& r = lockRegistry();
  std::lock_guard<std::mutex> guard(r.mutex);
  auto key = std::make_pair(device, inode);
  auto found = r.roots.find(key);
  if (found != r.roots.end()) {
    ++found->second->holders;
    return RootLock(found->second);
  }
  base::Result<int> fd = flockLockFile(stateFolder, lockPath, holder);
  if (!fd) return fd.status();
  std::string pid = std::to_string(getpid()) + "\n";
  // The process number only helps a person: a failure to note it is no
  // failure to lock.
  if (ftruncate(*fd, 0) == 0) {
    ssize_t ignored = pwrite(*fd, pid.data(), pid.size(), 0);
    (void)ignored;
  }
  auto entry = std::make_shared<Entry>();
  entry->key = key;
  entry->fd = *fd;
  entry->holders = 1;
  r.roots.emplace(key, entry);
  return RootLock(std::move(entry));
}

RootLock& RootLock::operator=(RootLock&& other) noexcept {
  if (this != &other) {
    release();
    entry_ = std::move(other.entry_);
  }
  return *this;
}

void RootLock::release() {
  if (!entry_) return;
  LockRegistry& r = lockRegistry();
  std::lock_guard<std::mutex> guard(r.mutex);
  // The flock goes under the registry's mutex, so that a new holder in
  // this process never finds the old descriptor still holding it.
  if (--entry_->holders == 0) {
    close(entry_->fd);
    r.roots.erase(entry_->key);
  }
  entry_.reset();
}

std::mutex& RootLock::writeMutex() const { return entry_->writeMutex; }
RecordTally& RootLock::recordTally() const { return entry_->recordTally; }

}  // namespace fs
