// The lock of an export root: one flock on <root>/.tessaline/lock per
// process, shared by every holder in it. A process-wide registry keyed by
// the root folder's device and inode hands each further holder in this
// process (the copier, the playlist writer, the record) a share of the
// lock it already has, so they never report each other busy; another
// process still finds the lock taken (EWOULDBLOCK). The flock goes when
// the last holder in the process lets go.
//
// Flock does not keep the threads of one process apart, so each root also
// has a mutex (writeMutex) for the writers of the root's record.
//
// The lock file must be a regular file: a link, FIFO or device there is
// refused without being opened for reading or writing. One with other
// hard links (a snapshot made with `cp -al`) is replaced by a fresh file
// before the process number is written into it.
//
// Thread: acquire and release from any thread; the registry is guarded.
// Ownership: a RootLock is one share, moved but not copied; the registry
// owns the lock file's descriptor.
// Errors: acquire answers a Status naming the lock file: EWOULDBLOCK when
// another process holds it, else the system's reason.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "base/Status.h"

namespace fs {

// What this process's writers of a root's record know of it, so that none
// has to read the record to tell when rewriting it pays (DriveRecord).
struct RecordTally {
  bool known = false;  // false: not counted yet, or the record was replaced
  size_t lines = 0;    // change lines in the record
  std::unordered_set<std::string> live, probed;  // keys of live entries, sources noted
};

class RootLock {
 public:
  // `stateFolder` is the open state folder of the root whose folder has
  // device `device` and inode `inode`; `lockPath` names the lock file in
  // messages. When another process holds the lock its process number (as
  // it wrote it) goes to *holder.
  static base::Result<RootLock> acquire(int stateFolder, dev_t device, ino_t inode,
                                        const std::string& lockPath, std::string* holder);

  RootLock(RootLock&& other) noexcept : entry_(std::move(other.entry_)) {}
  RootLock& operator=(RootLock&& other) noexcept;
  RootLock(const RootLock&) = delete;
  RootLock& operator=(const RootLock&) = delete;
  ~RootLock() { release(); }

  // Serialises the writers of this root's record within the process.
  std::mutex& writeMutex() const;
  // The root's record as its writers in this process counted it; guarded
  // by writeMutex.
  RecordTally& recordTally() const;

  struct Entry;  // the registry's record of one root

 private:
  explicit RootLock(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
  void release();

  std::shared_ptr<Entry> entry_;
};

}  // namespace fs
