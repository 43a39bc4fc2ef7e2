// The drive's own catalogue of what the exporter wrote on it, by
// identity rather than by name: for every file, folder, cover and
// playlist file the exporter made, where it lies, what it is, and the
// size and time it had on the drive and at its source. A clean-up trusts
// an entry only while the drive file still has the recorded size and time
// (sameStamp), so an entry whose file a user replaced is never taken for
// the exporter's.
//
// Stored in <root>/.tessaline/record, a text file of one entry a line
// (DriveRecord.cpp describes the format), only ever appended to, and
// rewritten whole by compact(). The older record of paths,
// .tessaline/written, stays as it is (older versions keep reading and
// writing it); load() reads both, and a path only `written` names comes
// back as a legacy entry without identity.
//
// A kill at any moment leaves the record readable and holding every entry
// whose append returned: a line a kill cut short is ignored on load (each
// line carries its own checksum) and the next append starts a fresh one.
// Every writer holds the root's lock (RootLock) and, within the process,
// its write mutex, so a compaction never drops an entry appended meanwhile.
// So that no file is ever named unrecorded, a writer appends a file's
// entry (with flush) before it names the file, its drive stamp from fstat
// of the finished temporary (a rename changes neither size nor time), and
// removes the entry when the naming fails.
//
// Thread: a DriveRecord may be shared by any threads (its writes are
// serialised by the root's write mutex); load() is safe at any time
// without the lock, as appends and the compaction's rename are atomic
// for a reader.
// Ownership: a DriveRecord keeps its root open and a share of its lock
// until it goes.
// Errors: every Status names the file and the system's reason
// ("cannot append to /media/x/.tessaline/record: No space left on
// device"); a record written by a newer version is refused (ENOTSUP),
// and one past the read bound (256 MiB unless told) too (EFBIG): compact
// in time, or with a larger bound to recover.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/Status.h"
#include "base/TextHash.h"
#include "fs/DestinationRoot.h"
#include "fs/RootLock.h"

namespace fs {

// A file's size and modification time (ns since the epoch).
struct FileStamp {
  uint64_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const FileStamp&) const = default;
};

enum class StampMatch {
  kDifferent,
  kSame,     // equal at the file system's time step
  kShifted,  // equal size, time moved by whole quarter hours (a zone or DST change on FAT)
};

inline constexpr int64_t kFatTimeStepNs = 2'000'000'000;
inline constexpr int64_t kExFatTimeStepNs = 10'000'000;
inline constexpr int64_t kExactTimeStepNs = 1;

// Whether a drive file `now` still is the one recorded as `recorded`: the
// sizes equal, and the times within `stepNs` (the file system's time
// step) of each other or of a shift by whole quarter hours up to 14 h,
// as FAT keeps local time and a time-zone change moves every file.
StampMatch sameStamp(const FileStamp& recorded, const FileStamp& now, int64_t stepNs);

enum class EntryKind : uint8_t { kTrack, kCover, kPlaylist, kFolder, kLegacy };

struct RecordEntry {
  std::string key;   // the case-folded collision key the caller chose; lookups go by it
  std::string path;  // below the export root, as the drive spells it
  EntryKind kind = EntryKind::kTrack;
  std::string trackId;    // tracks: the track's persistent ID
  std::string libraryId;  // tracks: the library's persistent ID
  FileStamp drive;        // as fstat read the drive file
  FileStamp source;
  std::optional<uint64_t> checksum;  // XXH3-64 of the content, when known
  // Tracks converted for the player: the settings ("mp3 V2"); empty for a
  // copy of the source's bytes.
  std::string conversion;
  bool operator==(const RecordEntry&) const = default;
};

// What a source file on this computer was found to hold while it had
// this size and time: it is not looked into again until that changes.
struct ProbedSource {
  std::string source;  // its path
  FileStamp stamp;
  // codec empty: it holds no sound; container empty too: FFmpeg could
  // not tell what it is (judged by its name).
  std::string container, codec;
  int64_t millis = 0;            // playing time, 0 when unknown
  // False: FFmpeg could not tell what it holds (it is judged by its name);
  // container, codec and millis are then empty.
  bool told = true;
  bool operator==(const ProbedSource&) const = default;
};

// The record's tables, looked up by any text.
using RecordEntries = std::unordered_map<std::string, RecordEntry, base::TextHash, std::equal_to<>>;
using ProbedSources =
    std::unordered_map<std::string, ProbedSource, base::TextHash, std::equal_to<>>;
using RecordKeys = std::unordered_set<std::string, base::TextHash, std::equal_to<>>;

struct RecordContents {
  RecordEntries entries;    // by key
  ProbedSources probed;     // by source path
  size_t lines = 0;         // change lines in the record: far more than entries asks for compact()
  size_t damagedLines = 0;  // lines a kill cut short (or worse), ignored
  // Keys whose last line is a removal: an older list of paths that still
  // names one of them speaks for a file that is gone, not for what stands
  // there now.
  RecordKeys removed;
};

// The key exports file a drive path under: its case-folded, decomposed
// spelling, as the drive's file systems compare names.
std::string recordKey(std::string_view path);

// The entry of a folder the exporter made at `absolute` below `root`;
// none when it does not lie below it.
std::optional<RecordEntry> folderEntry(const DestinationRoot& root, std::string_view absolute,
                                       const std::function<std::string(std::string_view)>& keyOf);

class DriveRecord {
 public:
  static constexpr const char* kFile = "record";
  static constexpr size_t kMaxBytes = size_t{256} << 20;

  // What the drive's record holds, `written` included: its paths the
  // record does not mention come back as kLegacy entries keyed by
  // keyOf(path) (the path itself when keyOf is empty). No record at all
  // is an empty one; a root that could not be opened is its open error.
  // Without `withProbed`, what the sources hold is left unread (probed
  // stays empty).
  static base::Result<RecordContents> load(
      const DestinationRoot& root, const std::function<std::string(std::string_view)>& keyOf,
      size_t maxBytes = kMaxBytes, bool withProbed = true);

  // The size, time and identity of the record and of the older list of
  // paths, in one text: equal texts say that neither changed between
  // them; empty when that cannot be told.
  static std::string stateStamp(const DestinationRoot& root);

  // A writer of the root's record, holding a share of the root's lock
  // (EWOULDBLOCK when another process holds it); keyOf as for load(),
  // which compact() needs to keep the removals that hide older paths.
  static base::Result<std::unique_ptr<DriveRecord>> open(
      std::shared_ptr<DestinationRoot> root, std::function<std::string(std::string_view)> keyOf);

  // The writer of the record of the export whose tracks folder is
  // `tracksFolder` (DestinationRoot::exportRootOf), keyed by recordKey, and
  // the prefix that folder's paths take in it ("Music/"); none for a
  // folder no export reads.
  struct OfTracks {
    std::unique_ptr<DriveRecord> writer;
    std::shared_ptr<DestinationRoot> root;
    std::string prefix;
  };
  static std::optional<base::Result<OfTracks>> ofTracksFolder(const std::string& tracksFolder);

  // Takes the counts compactIfMostlyDead() weighs from `contents`, the
  // record as a load read it when stateStamp() said what it says now, so
  // that an export which writes little need not read it all again.
  void tallyFrom(const RecordContents& contents);
  // Adds entries (a later entry for a key replaces the earlier one) in one
  // write; with `flush`, on the disk before it returns.
  base::Status append(const std::vector<RecordEntry>& entries, bool flush);
  // Notes what these sources hold (a later note for a source replaces
  // the earlier one).
  base::Status noteProbed(const std::vector<ProbedSource>& probed, bool flush);
  // Notes that the files of these keys are gone.
  base::Status remove(const std::vector<std::string>& keys, bool flush);
  // Rewrites the record with only its live entries.
  base::Status compact(size_t maxBytes = kMaxBytes);
  // compact() once its dead lines (overridden, removed, cut short)
  // outweigh the live ones; the writers in this process keep the count, so
  // that the record is read only when that is not known yet.
  base::Status compactIfMostlyDead();

 private:
  DriveRecord(std::shared_ptr<DestinationRoot> root,
              std::function<std::string(std::string_view)> keyOf, RootLock lock)
      : root_(std::move(root)), keyOf_(std::move(keyOf)), lock_(std::move(lock)) {}
  // Appends `lines` (`count` of them), then `counted` notes them in the
  // tally, where it is kept.
  base::Status write(const std::string& lines, size_t count, bool flush,
                     const std::function<void(RecordTally&)>& counted);
  base::Status rewrite(bool onlyWhenMostlyDead, size_t maxBytes);

  std::shared_ptr<DestinationRoot> root_;
  std::function<std::string(std::string_view)> keyOf_;
  RootLock lock_;
};

}  // namespace fs
