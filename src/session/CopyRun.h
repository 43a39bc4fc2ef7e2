// The copy step of an export: puts a plan's tracks on the drive, on the
// caller's thread (the command line's main thread, the window's worker).
//
// Each copy is written to a temporary beside its destination and named
// only once its batch has been flushed and recorded; a repair (a track
// whose copy on the drive changed since) is named over that copy, so a kill, a stop or a pulled
// drive never leaves a partial file under a track's name. Batches start
// small so that the first tracks are committed soon and grow up to a
// bound; one batch is flushed and named on a second thread while the
// next one fills. Everything is written below the destination root as it
// was opened: a drive that goes away fails the rest of the run.
//
// Thread: runCopies() runs on the calling thread and calls `progress`
// there, at most every few milliseconds and once at the end; it starts
// and joins the one flushing thread itself.
// Stop: a flag rather than a stop token, since the command line raises it
// from a signal handler, where only a lock-free store is safe.
// Errors: a track that cannot be copied is listed with the file manager's
// reason and the run goes on; a stop ends it at the next copy (the copy
// under way is dropped), and what was committed stays.
// Converted tracks are made on a pool of threads (one per core), each in
// memory, then written like a playlist file (temporary, record, flush,
// name); a stop lets the conversions under way finish and starts no more.
// A source that cannot be decoded fails alone (kCannotConvert).
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fs/FileManager.h"
#include "session/MediaConvert.h"
#include "session/Plan.h"

namespace platform {
class DestinationRoot;
class DriveRecord;
}  // namespace platform

namespace session {

struct CopyTarget {
  std::shared_ptr<const fs::DestinationRoot> root;
  std::string musicRoot;    // where the snapshot's destinations lie
  uint64_t totalBytes = 0;  // what progress counts up to
  // The drive's record: each copy's entry (what track, its size and time
  // on the drive and at its source) is written before the copy is named.
  fs::DriveRecord* record = nullptr;
  std::string recordPrefix;  // the music folder relative to the root, with its "/"
  std::string libraryId;
  // What tracks with a conversion (SnapshotTrack::conversion) become.
  ConvertSettings convert;
};

struct CopyEvent {
  uint64_t done = 0, total = 0;  // bytes
  // Tracks settled (named or failed) of those asked; of them, those to
  // convert and those settled so far.
  size_t tracksDone = 0, tracks = 0, convertsDone = 0, converts = 0;
};

// The code of a track whose source could not be converted; the failure's
// description says why, in FFmpeg's words.
inline constexpr int kCannotConvert = ENOMSG;

struct CopyFailure {
  uint32_t track = 0;
  base::FileError error;
};

struct CopyReport {
  std::vector<uint32_t> placed;  // tracks now on the drive under their names, in order
  std::vector<CopyFailure> failures;
  uint64_t bytesPlaced = 0;
};

CopyReport runCopies(const Snapshot& snapshot, const std::vector<uint32_t>& copies,
                     const Observed& observed, const CopyTarget& target,
                     fs::FileManager& fileManager, const std::atomic<bool>* stop,
                     const std::function<void(const CopyEvent&)>& progress);

}  // namespace session
