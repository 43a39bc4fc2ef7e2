// One media file that some playlist wants on the drive, represented once
// however many playlists list it, and the process-wide track registry
// (masterTrackDictionary) and destination root (destinationBasePath).
//
// Ownership: a CTrack is owned by the playlists that list it and by any
// caller holding a CTrack::Ptr. The registry only indexes live records:
// a record registers itself when created and leaves the registry (and
// logs "dealloc") when its last owner lets it go. Find-or-create also
// puts the record into the caller's autorelease scope, so a new record
// nobody takes dies when that scope ends.
//
// Thread: records and the registry are shared by the main thread and the
// copy and playlist threads. String fields are replaced whole under a
// per-record lock (a reader never sees half a value); scalar fields are
// atomic; the registry is guarded. Whole-registry walks that a
// concurrent change disturbs log their "exeception ..." line and start
// again.
// Errors: nothing here reports an error; unknown identifiers give none.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Path.h"
#include "base/Value.h"
#include "compat/catalogue/CTrackCarrier.h"
#include "compat/runtime/WalkableMap.h"
#include "fs/FileManager.h"

namespace catalogue {

using TrackRegistry = platform::WalkableMap<CTrackCarrier>;

class CTrack : public std::enable_shared_from_this<CTrack> {
 public:
  using Ptr = std::shared_ptr<CTrack>;

  ~CTrack();
  CTrack(const CTrack&) = delete;
  CTrack& operator=(const CTrack&) = delete;

  // ---- Class methods -------------------------------------------------
  // The live registry, created (empty, capacity hint 2000) if absent.
  static TrackRegistry& trackDict();
  // The registered record, or none; nothing is created or changed.
  static Ptr trackForUniqueID(const std::string& uniqueID);
  // If registered: sets trackEnabled and returns the record; else none.
  static Ptr updateTrackForUniqueID(const std::string& uniqueID, const base::Value& enable);
  // Find or create. An existing record only gets trackEnabled refreshed.
  static Ptr trackForUniqueID(const std::string& uniqueID, const base::Value& enable,
                              const std::string& sourcePath, const std::string& destPath,
                              const std::string& title, const std::string& artist,
                              const std::string& duration);
  static std::optional<std::string> destinationBasePath();
  // Replaces the root; a real change (one not only of Unicode form)
  // forgets every track's destination state, then invalidates
  // first-export, then uncopied totals. No path, or an empty one, clears
  // the root. Paths are kept as given, since a Linux file name is a byte
  // string.
  static void setDestinationBasePath(const std::optional<std::string>& path);
  static void invalidateAllTrackDestinations();
  static void clearFirstExportFlags();

  // ---- Destination state and artwork (class methods) ------------------
  // "folder.jpg": the cover image file every track folder may hold.
  static std::string artFileName();
  // How a total treats the tracks whose destination state is unknown
  // (the script bridge's numbers 0 to 3).
  enum class UnknownDestination : int32_t {
    kNotCounted = 0,  // only tracks known to be missing count
    kCounted = 1,     // counted with their current size
    kCheckedNow = 2,  // checked now, then counted unless present
    kEveryTrack = 3,  // every track counted, present or not
  };
  // Sum of trackSize over the registry; exportedOnly skips tracks that
  // trackShouldCopy rejects.
  static double getTotalTrackSize(bool exportedOnly, UnknownDestination unknown);
  // The same, checking unknown destinations with `fileManager` (none: a
  // private one).
  static double getTotalTrackSize(bool exportedOnly, UnknownDestination unknown,
                                  fs::FileManager* fileManager);
  // The identifiers and cover image paths of the exported tracks whose
  // folder lacks a "folder.jpg" file: {identifiers, paths}, parallel
  // (an empty path where no destination root is set). With mkdir,
  // missing track folders are created. Tracks whose destination path
  // leaves the root are never offered.
  static std::vector<std::vector<std::string>> tracksNeedingArtMkdir(bool mkdir);

  // ---- Destination state and artwork (instance methods) ---------------
  // The destination check: whether a file (not a directory) stands at
  // the destination; reads the source size into trackSize and marks the
  // state known. Without a root: NO, and the state stays unknown.
  // `fileManager` none means the shared default one.
  bool resolveWithFileManager(fs::FileManager* fileManager);
  // trackSize when trackShouldCopy, else 0 (checking the destination
  // first if it is unknown). Presence is not looked at.
  uint64_t outputContribution();
  // Copies the source to the destination if it is not there yet; returns
  // the bytes copied (0 when nothing had to be copied, or on failure, in
  // which case *error says why). Never leaves a partial file under the
  // final name, and never writes outside the destination root.
  uint64_t doCopyWithFileManager(fs::FileManager* fileManager, base::FileError* error);
  // doCopyWithFileManager in two halves, so that a run can flush many
  // copies at once: stageCopy makes the checks and the track's folder and
  // adds the copy to `batch` (false when there is nothing to copy or it
  // failed, with *error saying why); once the batch has committed,
  // finishCopy takes whether this copy got its name and returns the bytes
  // to count, re-reading the destination state.
  bool stageCopy(fs::FileManager& fm, fs::CopyBatch& batch, base::FileError* error);
  uint64_t finishCopy(fs::FileManager& fm, bool inPlace);
  std::optional<std::string> artDir() const;
  std::optional<std::string> artPath() const;
  // Whether this track's folder lacks a cover image file; with mkdir a
  // missing folder is created.
  bool trackNeedsArt(fs::FileManager* fileManager, bool mkdir);
  // The destination check of many tracks at once, with the same outcome
  // as resolveWithFileManager on each: the file manager looks each folder
  // up once for all its items.
  static void resolveAll(const std::vector<Ptr>& tracks, fs::FileManager* fileManager);
  // Whether destPathRel climbs out of the root (a ".." component).
  bool destinationLeavesRoot() const;
  // Whether a relative path has a ".." component.
  static bool leavesRoot(const std::string& relativePath);

  // ---- Instance methods ------------------------------------------------
  // None without a root; else root and destPathRel joined with exactly
  // one separator between them.
  std::optional<std::string> absDestinationPath() const;
  void incrementExport(bool exported);
  void decrementExport(bool exported);
  bool trackShouldCopy() const;

  // ---- Fields ------------------------------------------------------------
  std::string uniqueID() const;
  void setUniqueID(const std::string& v);
  std::string sourcePath() const;
  void setSourcePath(const std::string& v);
  std::string destPathRel() const;
  void setDestPathRel(const std::string& v);
  std::string trackTitle() const;
  void setTrackTitle(const std::string& v);
  std::string trackArtist() const;
  void setTrackArtist(const std::string& v);
  std::string trackDuration() const;
  void setTrackDuration(const std::string& v);

  uint64_t trackSize() const { return trackSize_.load(std::memory_order_relaxed); }
  void setTrackSize(uint64_t v) { trackSize_.store(v, std::memory_order_relaxed); }
  uint32_t exportCount() const { return exportCount_.load(std::memory_order_relaxed); }
  void setExportCount(uint32_t v) { exportCount_.store(v, std::memory_order_relaxed); }
  bool trackEnabled() const { return trackEnabled_.load(std::memory_order_relaxed); }
  void setTrackEnabled(bool v) { trackEnabled_.store(v, std::memory_order_relaxed); }
  bool trackTested() const { return trackTested_.load(std::memory_order_acquire); }
  void setTrackTested(bool v) { trackTested_.store(v, std::memory_order_release); }
  bool trackPresent() const { return trackPresent_.load(std::memory_order_acquire); }
  void setTrackPresent(bool v) { trackPresent_.store(v, std::memory_order_release); }
  bool firstExport() const { return firstExport_.load(std::memory_order_relaxed); }
  void setFirstExport(bool v) { firstExport_.store(v, std::memory_order_relaxed); }
  bool presentSetInResolve() const { return presentSetInResolve_.load(std::memory_order_acquire); }
  void setPresentSetInResolve(bool v) { presentSetInResolve_.store(v, std::memory_order_release); }

  // What the destination check found at the source path (through a link,
  // at what it leads to): unknown until a check, and again once the
  // destinations are invalidated or the source path changes.
  enum class SourceState : uint8_t { kUnknown, kFound, kMissing };
  SourceState sourceState() const { return sourceState_.load(std::memory_order_acquire); }

 private:
  struct Passkey {};

 public:
  explicit CTrack(Passkey) {}

 private:
  // Fills a new record and registers it; reached only through
  // find-or-create.
  void initForUniqueID(const std::string& uniqueID, const base::Value& enable,
                       const std::string& sourcePath, const std::string& destPath,
                       const std::string& title, const std::string& artist,
                       const std::string& duration);

  std::string getString(const std::string& field) const;
  void setString(std::string& field, const std::string& v);

  // The flags first: whole-registry walks touch only them, and here they
  // share a cache line with the reference counts that each walk also
  // touches.
  std::atomic<uint64_t> trackSize_{0};
  std::atomic<uint32_t> exportCount_{0};
  std::atomic<bool> trackEnabled_{false};
  std::atomic<bool> trackTested_{false};
  std::atomic<bool> trackPresent_{false};
  std::atomic<bool> firstExport_{false};
  std::atomic<bool> presentSetInResolve_{false};
  std::atomic<SourceState> sourceState_{SourceState::kUnknown};

  mutable std::mutex strings_;
  std::string uniqueID_;
  std::string sourcePath_;
  std::string destPathRel_;
  std::string trackTitle_;
  std::string trackArtist_;
  std::string trackDuration_;
  std::string registeredID_;  // the key this record registered under
};

// Paths are joined by the platform's one rule.
using base::appendJoinedPath;
inline std::string joinPathComponents(std::string_view root, std::string_view relative) {
  return base::joinPath(root, relative);
}

}  // namespace catalogue
