// One playlist as the script hands it over, the process-wide playlist
// registry (trackListDict) and the copy-only-checked switch.
//
// Ownership: the registry owns every playlist and never removes one; a
// playlist shares ownership of every CTrack it lists. The "retained"
// get-or-create methods hand the caller a reference of its own.
//
// Invariant: every track's exportCount equals its number of listings in
// exported playlists; every load or flag change adjusts the counts in
// the same step. A load replaces trackList with a new array and never
// changes a stored array, so a background walker holding the old array
// is undisturbed.
//
// Thread: loads and flag changes come from the main thread; the copy and
// playlist threads read track arrays and totals. Fields are atomic or
// replaced whole under a lock. Whole-registry walks disturbed by a
// concurrent change log their "exeception ..." line and walk again.
// Errors: none are reported to the caller; see each method.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Guarded.h"
#include "base/Value.h"
#include "compat/catalogue/CTrack.h"
#include "compat/drawing/ProgressIndicator.h"
#include "compat/runtime/WalkableMap.h"
#include "fs/DestinationRoot.h"

namespace catalogue {

class CTrackList;
using PlaylistRegistry = platform::WalkableMap<std::shared_ptr<CTrackList>>;
using TrackArray = std::vector<CTrack::Ptr>;
using TrackArrayPtr = std::shared_ptr<const TrackArray>;
using Values = std::vector<base::Value>;
using Texts = std::vector<std::string>;

// The all-ones total that means "recalculate".
inline constexpr uint64_t kInvalidTotal = UINT64_MAX;

class CTrackList : public std::enable_shared_from_this<CTrackList> {
 public:
  using Ptr = std::shared_ptr<CTrackList>;

  ~CTrackList();
  CTrackList(const CTrackList&) = delete;
  CTrackList& operator=(const CTrackList&) = delete;

  // ---- Class methods: get-or-create and load --------------------------
  static Ptr retainedTrackListForUniqueID(const std::string& uniqueID, bool exported,
                                          const Values& trackIDs);
  static Ptr retainedTrackListForUniqueID(const std::string& uniqueID, bool exported,
                                          const Values& trackIDs, const Values& enables);
  static Ptr retainedTrackListForUniqueID(const std::string& uniqueID, bool exported,
                                          const Values& trackIDs, const Values& enables,
                                          const Texts& sourcePaths, const Texts& destPaths,
                                          const Texts& titles, const Texts& artists,
                                          const Texts& durations);

  // ---- Class methods: flags and walks ---------------------------------
  static void setIsExported(bool exported,
                            const std::string& uniqueID);  // setIsExported:forUniqueID:
  static void setCopyOnlyCheckedItems(bool value);
  static bool copyOnlyCheckedItems();
  static PlaylistRegistry& trackListDict();
  static Ptr trackListForUniqueID(const std::string& uniqueID);  // registry lookup, no creation
  static void invalidateFirstExportTotals();
  static void invalidateUnCopiedTotals();
  static void clearFirstExportTotals();

  // ---- Space accounting (class methods) --------------------------------
  // Arrays hold playlist identifiers; identifiers without a playlist are
  // skipped. Totals go back as doubles, lookups as unsigned 64 bits.
  static double netCopyTotalUniqueIDs(const Texts& uniqueIDs);
  // The same, looking every exported track up at once with `fileManager`
  // (none: as above).
  static double netCopyTotalUniqueIDs(const Texts& uniqueIDs, fs::FileManager* fileManager);
  static uint64_t unCopiedTotalforUniqueID(const std::string& uniqueID);
  static uint64_t firstExportTotalforUniqueID(const std::string& uniqueID);
  static void recalcUncopiedTotalsForPlaylistUniqueIDs(const Texts& uniqueIDs);
  static void recalcFirstExportTotalsForPlaylistUniqueIDs(const Texts& uniqueIDs);
  static void recalcAllTotalsforUniqueIDs(const Texts& uniqueIDs);
  static void conditionalRecalcFirstExportTotalsForPlaylistUniqueIDs(const Texts& uniqueIDs);
  static void conditionalRecalcUncopiedTotalsForPlaylistUniqueIDs(const Texts& uniqueIDs);

  // ---- Space accounting (instance methods) -----------------------------
  void calcUncopiedTotal();
  void calcFirstExportTotal();
  double uncopiedTotal();
  double netcopyTotal() const;
  double netcopyValid() const;

  // ---- Copying (the copy run's per-playlist step) ----------------------
  // Copies this playlist's missing tracks with one private file manager,
  // adding the bytes copied to `alreadyCopied`; after every track the
  // count is shown on `indicator` (directly on the main thread, queued to
  // it from any other) and handed to `onProgress` when given.
  uint64_t doCopyWithAlreadyCopied(uint64_t alreadyCopied,
                                   const std::shared_ptr<platform::ProgressIndicator>& indicator,
                                   const std::function<void(uint64_t)>& onProgress = nullptr);
  // The same with the run's context: where it writes, when to stop and
  // what to tell about each track.
  struct CopyContext {
    // The folder the copies go below (see fs::DestinationRoot);
    // none: the destination root, opened by this step.
    std::shared_ptr<const fs::DestinationRoot> root;
    // When it reads true the step stops before the next track; the copy
    // under way is dropped, the ones already written are kept.
    const std::atomic<bool>* stop = nullptr;
    // Raised as copies' data goes out (see fs::CopyBatchOptions).
    std::atomic<uint64_t>* bytesWritten = nullptr;
    std::function<void(uint64_t)> onProgress;
    // Once for every track that had to be copied: the bytes now on the
    // drive under its name, or why it is not there.
    std::function<void(const CTrack& track, uint64_t bytes, const base::FileError* error)> onTrack;
  };
  uint64_t doCopyWithAlreadyCopied(uint64_t alreadyCopied,
                                   const std::shared_ptr<platform::ProgressIndicator>& indicator,
                                   const CopyContext& context);
  // The whole copy run on the calling thread, without states; a
  // framework exception passes to the caller.
  static void copyPlaylistUniqueIDs(const Texts& uniqueIDs);

  // The identifiers with every repeat dropped, each first occurrence kept
  // in its place. A run walks each playlist once: a second walk of the same
  // playlist would find its tracks already claimed (or copied) by the first
  // and overwrite that playlist's totals with nothing.
  static Texts uniqueInOrder(const Texts& uniqueIDs);

  // ---- Playlist file ----------------------------------------------------
  // Writes "<playlistFileName>.m3u8" into `folder` (created if missing):
  // UTF-8 without BOM, "#EXTM3U" then an "#EXTINF:duration,artist -
  // title" line and the absolute destination path per track, LF between
  // lines and none after the last; the text replaces an existing file
  // atomically. A file name that would leave the folder
  // is refused with one log line. Throws platform::Exception when a track
  // has no destination path (no root), before anything is written.
  void doGeneratePlaylistinFolder(const std::string& folder);
  // The same below `root` (none: the destination root when the folder
  // lies in it, else the folder's parent; the root is never created):
  // the new file replaces the old one in one step, is recorded as the
  // exporter's, and a failure leaves the old file as it was. False, with
  // *error saying why, when the file was not written.
  bool doGeneratePlaylistinFolder(const std::string& folder, const fs::DestinationRoot* root,
                                  base::FileError* error);
  // The text that file holds. Control characters in the texts become
  // spaces; a track whose path leaves the root or holds a line break is
  // left out, with a log line. `folder`: where the file goes, which
  // relative entries are written against (absolute ones without it).
  std::string playlistFileText(const std::string& folder = {}) const;

  // How entries name their tracks: absolute paths (the default, which
  // scripts rely on), or paths relative to the playlist file's folder,
  // which still resolve when the drive is mounted elsewhere.
  enum class EntryForm { kAbsolute, kRelativeToFile };
  EntryForm entryForm() const { return entryForm_.load(std::memory_order_acquire); }
  void setEntryForm(EntryForm v) { entryForm_.store(v, std::memory_order_release); }

  // ---- Instance methods ------------------------------------------------
  void loadTrackListForTrackIDs(const Values& trackIDs);
  void loadTrackListForTrackIDs(const Values& trackIDs, const Values& enables);
  void loadTrackListForTrackIDs(const Values& trackIDs, const Values& enables,
                                const Texts& sourcePaths, const Texts& destPaths,
                                const Texts& titles, const Texts& artists, const Texts& durations);
  void setIsExported(bool exported);

  std::string uniqueID() const;
  void setUniqueID(const std::string& v);
  std::string playlistFileName() const;
  void setPlaylistFileName(const std::string& v);
  TrackArrayPtr trackList() const;
  void setTrackList(TrackArrayPtr v);
  bool isExported() const { return isExported_.load(std::memory_order_acquire); }
  uint64_t firstExportTotal() const { return firstExportTotal_.load(std::memory_order_acquire); }
  void setFirstExportTotal(uint64_t v) { firstExportTotal_.store(v, std::memory_order_release); }
  uint64_t unCopiedTotal() const { return unCopiedTotal_.load(std::memory_order_acquire); }
  void setUnCopiedTotal(uint64_t v) { unCopiedTotal_.store(v, std::memory_order_release); }

  // Tests only: forgets every playlist (so their tracks die), clears the
  // destination root and sets the switch back to YES.
  static void resetForTesting();

 private:
  struct Passkey {};

 public:
  explicit CTrackList(Passkey) {}

 private:
  enum class Form { kIdentifiers, kEnables, kFull };
  struct LoadInput {
    Form form;
    const Values& trackIDs;
    const Values* enables;
    const Texts* sourcePaths;
    const Texts* destPaths;
    const Texts* titles;
    const Texts* artists;
    const Texts* durations;
  };
  static Ptr retained(const std::string& uniqueID, bool exported, const LoadInput& in);
  void initTrackListForUniqueID(const std::string& uniqueID, bool exported, const LoadInput& in);
  void load(const LoadInput& in);

  base::Guarded<std::string> uniqueID_;
  base::Guarded<std::string> playlistFileName_;
  base::Guarded<TrackArrayPtr> trackList_{std::make_shared<const TrackArray>()};
  std::atomic<bool> isExported_{false};
  std::atomic<EntryForm> entryForm_{EntryForm::kAbsolute};
  std::atomic<uint64_t> firstExportTotal_{kInvalidTotal};
  std::atomic<uint64_t> unCopiedTotal_{kInvalidTotal};
};

}  // namespace catalogue
