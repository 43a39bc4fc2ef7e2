// One export of a library to a drive, as steps whose results are values:
// load, prepare, plan, copy (with progress), cover images, playlist files,
// clean-up. The command line renders the values as text or JSON; a window
// renders them as widgets. The session asks nothing. It keeps a copy of
// its options and, from prepare() on, the drive's lock.
//
// The order is the application's own: load, then (unless only looking)
// prepare, plan, copy, covers, playlist files, clean-up. The plan works
// out the drive's target state once (session/Target.h): the playlist
// files kept and what each lists; every later step acts on it. The
// clean-up deletes only what the exporter wrote and is still as written,
// judged again as each file goes (its record on the drive says which),
// its noted unfinished copies, and folders those deletions leave empty;
// with cleanAll, every stale item. It is refused while the library or any
// of its tracks lies inside the destination.
//
// Thread: one caller thread at a time (the command line's main thread, the
// window's worker); load and copy start threads of their own and join them
// before they return; `stop` flags may be set from any thread.
// Errors: a step that cannot go on returns a Status (its kind, and what
// failed, where and why); per-item failures are in its result; logs only.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "base/Configuration.h"
#include "base/Status.h"
#include "drive/DriveServices.h"
#include "fs/DestinationRoot.h"
#include "fs/FileManager.h"
#include "library/LibraryReader.h"
#include "session/CopyRun.h"
#include "session/DestinationLayout.h"
#include "session/ExportOptions.h"
#include "session/Plan.h"
#include "session/PlayerProfile.h"
#include "session/PlaylistWriter.h"
#include "session/Removals.h"
#include "session/Target.h"

namespace app {

class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void started(uint64_t totalBytes) = 0;
  virtual void advanced(uint64_t doneBytes) = 0;
  virtual void ended() = 0;
};

// What an export reaches the machine through: made once by each main and
// passed down (as LevelDB passes Options::env), so that a test passes its
// own file manager and a window draws its own progress. Called on the
// session's thread; what they return is the caller's.
struct Services {
  std::function<std::shared_ptr<fs::FileManager>()> fileManager;  // one per step
  // Where a copy shows its progress besides the caller's callback (the
  // dock tile of --dock-tile), one per copy; none: nowhere.
  std::function<std::shared_ptr<ProgressSink>()> progressSink;
  // The folder of the drive volume titled `title` (empty: the remembered
  // or first usable one), its UUID in *uuid: for an export without --to.
  std::function<base::Result<std::string>(const std::string& title, std::string* uuid)> driveVolume;
  // The environment as the main read it: home and configuration folders
  // (the default library, the remembered playlists). Never null.
  std::shared_ptr<const base::Configuration> configuration =
      std::make_shared<base::Configuration>();
  // The machine's drives as the drive layer reads them (the live system or
  // the fake tree the configuration names).
  std::function<drive::DriveServices&()> drives;
};

struct PlaylistPlan {
  std::string name, id, file;
  size_t tracks = 0;
  uint64_t bytesToCopy = 0;      // what it lacks on the drive
  uint64_t bytesThisExport = 0;  // what it is charged in this export
  double seconds = 0;            // its playing time
};

// What the library holds but cannot be exported.
struct LeftOut {
  size_t tracksWithoutFile = 0, tracksNotOnThisComputer = 0, itemsNamingMissingTrack = 0;
  size_t tracksWithoutIdentifier = 0, playlistsWithoutIdentifier = 0;
};

struct StaleItem {
  std::string path;
  bool folder = false;
  bool playlistFile = false;
  uint64_t bytes = 0;
  bool ours = false;  // the clean-up deletes it: written by the exporter, or anything with cleanAll
  bool written = false;  // written by the exporter (or its unfinished copy), whatever cleanAll says
  bool changed = false;  // the exporter wrote a file there, which has changed since: not its own
  bool partial = false;  // an unfinished copy or an aside file of the exporter's
  // Named only by an older list of paths: it may have been replaced by the
  // user's since, so it is kept unless cleanAll.
  bool possiblyYours = false;
  int64_t seenTimeNs = 0;  // the file's time when judged (with `bytes`, its size)
};

// A track the drive's file system cannot hold: left out of the copy.
struct CannotHold {
  std::string title, artist, destination, reason;
  uint64_t bytes = 0;
};

struct ExportPlan {
  std::vector<PlaylistPlan> playlists;
  uint64_t bytesToCopy = 0;
  uint64_t spaceNeeded = 0;  // what the copies take in the drive's clusters
  uint64_t freeSpace = 0;
  bool freeSpaceKnown = true;  // false: the file system does not say (some FUSE drivers)
  std::string fileSystem;      // "FAT32", "FAT", "exFAT", or empty
  std::vector<CannotHold> cannotHold;
  uint64_t capacity = 0;      // of the destination's file system
  uint64_t bytesOnDrive = 0;  // of the chosen playlists' tracks already there, each once
  LeftOut leftOut;
  bool cleanUp = false;        // a clean-up is part of this export
  std::string cleanUpRefusal;  // why none may run here, when one was wanted
  std::vector<StaleItem> stale;
  uint64_t staleBytes = 0;  // of the items the clean-up would delete
  // Tracks to copy whose file is not on this computer, as the library
  // records them (a library from another computer, a moved folder).
  std::vector<std::string> missingSources;
  // Tracks the copy will put on the drive, each once: those to copy
  // whose file is here.
  size_t tracksToCopy = 0;
  // Built-in playlists (the whole library, Music, Movies...) an export of
  // all playlists leaves out, by name.
  std::vector<std::string> skippedBuiltIn;
  // Tracks of the export the drive cannot play: protected (".m4p") or of
  // a format outside the playable ones. They are copied all the same.
  struct Unplayable {
    std::string title, artist, location, reason;
  };
  std::vector<Unplayable> unplayable;
  // With a conversion asked: the tracks to convert of those to copy, the
  // settings in words ("mp3 V2"), and what the converted files are
  // estimated to take (part of bytesToCopy, which is then an estimate).
  size_t tracksToConvert = 0;
  std::string conversion;
  uint64_t convertedBytes = 0;
  // Tracks on the drive under an earlier spelling of their names
  // (decomposed, or as the layout named them before): renamed when the
  // copy starts, by the drive's old path below the music folder.
  std::vector<std::string> toRename;
  // Tracks whose copies lie in a music folder the drive's profile no
  // longer names: moved into the one it names when the copy starts, by
  // the drive's old path below the root.
  std::vector<std::string> toMove;
  // Tracks whose place on the drive holds a file that is not their copy
  // (one the user put there, or the exporter's copy changed since, which
  // is the user's from then on): that file stays as it is, listed by no
  // playlist file, and the track is copied beside it instead.
  struct CopiedBeside {
    std::string kept, copiedAs;  // absolute paths
    bool changedCopy = false;    // the file kept was the exporter's copy once
  };
  std::vector<CopiedBeside> copiedBeside;
  // Playlist files this export writes, and those whose text it would
  // write again as it stands (left as they are).
  size_t playlistFilesToWrite = 0, playlistFilesUnchanged = 0;
  // Nothing to copy, rename, write or remove: the drive is as it should be.
  bool changesNothing() const {
    bool removes =
        std::any_of(stale.begin(), stale.end(), [](const StaleItem& i) { return i.ours; });
    return tracksToCopy == 0 && toRename.empty() && toMove.empty() && playlistFilesToWrite == 0 &&
           !(cleanUp && removes);
  }
  bool fits() const { return !freeSpaceKnown || spaceNeeded <= freeSpace; }
  bool fitsAfterCleanUp() const { return cleanUp && spaceNeeded <= freeSpace + staleBytes; }
};

struct CopyProgress {
  uint64_t done = 0, total = 0;
  bool copying = false;  // sized and under way
  // Tracks settled (placed or failed) of those to place; of them, the
  // conversions.
  size_t tracksDone = 0, tracks = 0, convertsDone = 0, converts = 0;
};

struct TrackFailure {
  std::string title, artist, source, location, destination;
  std::string reason;  // in words
  std::string path;    // where it failed, when the file system said
  int code = 0;        // its errno, when the file system said
};

struct CopyOutcome {
  uint64_t bytesCopied = 0;  // of the tracks this export put on the drive under their names
  size_t tracksOnDrive = 0;
  std::vector<TrackFailure> notCopied;
  std::vector<std::string> uncheckedNotCopied;  // destinations
  std::vector<std::string> copied;              // destinations this export wrote
  size_t converted = 0;                         // of them, converted for the player
  double seconds = 0;
  // With verify: copies read back that matched the checksum taken while
  // copying, and copies that have no checksum to compare with.
  size_t verified = 0, unverified = 0;
};

struct PlaylistFailure {
  std::string name, file, reason;
};

struct CoverFailure {
  std::string path, reason;  // the image's place on the drive, and why it is not there
};

struct PlaylistOutcome {
  std::string folder;
  std::vector<std::string> written;    // file names
  std::vector<std::string> unchanged;  // file names whose text is as it would be written
  // The exporter's playlist files of other playlists, written again without
  // the entries whose file is gone from the drive for good.
  std::vector<std::string> trimmed;
  std::vector<PlaylistFailure> notWritten;
  // Files of the user's at a playlist's name, and the name the exporter's
  // file took beside each instead.
  std::vector<std::pair<std::string, std::string>> besideUsers;
  // Entries (repeats counted) left out because their track is not on the
  // drive: left unchecked, or missing (its copy failed or its file is
  // elsewhere). A file lists only what is there to play.
  size_t entriesUnchecked = 0, entriesMissing = 0;
  // Tracks (each once, "artist - title") left out of ".m3u" files: their
  // names on the drive hold characters Windows-1252 lacks.
  std::vector<std::string> notEncodable;
  std::string extension;  // of the files written
};

struct CleanItem {
  StaleItem item;
  bool deleted = false;
  bool kept = false;        // held by something not the exporter's
  std::string reason;       // why it is still there
  bool notReached = false;  // the clean-up stopped before it
};

struct CleanOutcome {
  bool attempted = false;  // false: only listed
  std::vector<CleanItem> items;
  size_t notDeleted = 0;  // of the exporter's own items
  bool stopped = false;   // asked to stop: the items not reached are still there
  size_t deleted = 0;
};

class ExportSession {
 public:
  ExportSession(const ExportOptions& options, Services services);
  ~ExportSession();

  // Reads the library and lays the export out; kUsage for a bad library,
  // destination or playlist name.
  base::Result<base::Done> load();
  // Narrows the export to these playlists (identifiers, among those
  // loaded; the library's order is kept); the others are no longer
  // exported, so their tracks become stale unless a chosen playlist lists
  // them too. Choosing again may widen it back.
  void choose(const std::vector<std::string>& playlistIds);
  // Whether the clean-up also takes stale files the exporter did not
  // write (the window's box), for the plans from now on.
  void setCleanAll(bool everything) { o_.cleanAll = everything; }
  // Every playlist loaded, chosen or not (name, identifier).
  std::vector<std::pair<std::string, std::string>> loadedPlaylists() const;

  // Takes the destination's lock (kBusy when another export holds it)
  // and removes unfinished copies of earlier runs; returns how many.
  base::Result<size_t> prepare();
  // What copy() renamed before copying (tracks the drive holds under an
  // earlier spelling of their names, ExportPlan::toRename), relative to
  // the root: old, new; and what it could not, with why: those keep
  // their old names.
  struct Renamed {
    std::vector<std::pair<std::string, std::string>> done;
    std::vector<std::string> failed;
    // Moved from an earlier music folder (ExportPlan::toMove); one that
    // could not be moved, with why, is copied anew.
    std::vector<std::pair<std::string, std::string>> moved;
    std::vector<std::string> notMoved;
  };
  const Renamed& renamed() const { return renamed_; }
  // Sizes the export against the drive and judges the stale files.
  // The plan stays the session's, valid until the next plan().
  base::Result<const ExportPlan*> plan();
  // What the chosen playlists need on the drive together, looked at now;
  // the plan's figure without its stale walk. With `lookAgain` false, as
  // the last plan saw the drive and the sources (a window's check boxes
  // ask this on every click; a large library's look takes seconds).
  // *spaceNeeded: what the copies take in the drive's clusters.
  base::Result<uint64_t> bytesToCopy(bool lookAgain = true, uint64_t* spaceNeeded = nullptr);
  // What the chosen playlists' tracks take on the drive already, each
  // once, as the last plan saw the drive (0 before a plan).
  uint64_t bytesOnDrive() const;
  // What the clean-up of an export would remove for any choice among the
  // last plan's playlists (Removals.h), judged as it judges; empty when
  // no plan since the last choose(), or when the export removes nothing.
  session::Removals removals() const;
  // Copies the missing tracks; `stop` ends it at the next track.
  base::Result<CopyOutcome> copy(const std::function<void(const CopyProgress&)>& onProgress,
                                 const std::atomic<bool>* stop);
  // Cover images written next to the copied tracks: how many; those that
  // could not be written go to `failed` with their reasons.
  size_t covers(const std::atomic<bool>* stop, std::vector<CoverFailure>* failed = nullptr);
  // One file per chosen playlist, in the format asked for, listing only
  // the tracks on the drive; replaced in one step, so a failed write
  // keeps the old file.
  PlaylistOutcome playlistFiles();
  // Deletes the stale items the plan judged the exporter's (with `remove`
  // false, only lists them); `stop` ends it between two deletions.
  CleanOutcome clean(bool remove, const std::atomic<bool>* stop = nullptr);
  // The places on the drive or among the sources that this session's steps
  // could not look at (an I/O error, a refused permission), so far: each
  // was taken as absent, which keeps the owner's files safe but may leave
  // the drive short of what was asked. An export with any did not do all.
  std::vector<base::FileError> notLookedAt() const { return lookFailures_->all(); }

  // Converts the tracks the drive cannot play to `codec` ("": copies them
  // as they are) from the next plan on, at the codec's default quality.
  void setConversion(const std::string& codec) {
    o_.convertTo = codec;
    o_.quality = -1;
    planned_ = false;
  }
  const std::string& root() const { return root_; }
  const std::string& libraryFile() const { return libraryFile_; }
  // For a process about to exit: the session's large tables (the library,
  // the record, the layout, what was looked at) are moved out and left to
  // the exit, which gives their memory back at once, rather than freed a
  // block at a time. The session answers nothing after it. Under the
  // sanitizers they are freed, so that the freeing stays checked.
  void leaveTablesToExit();
  // Where the destination's remembered choice is kept: by its volume's
  // UUID when the drive finder found it, else by the folder.
  std::string rememberKey() const;
  // Which playlists go: every exported one, or those the user named.
  enum class Mode { kChosenPlaylists = 1, kAllPlaylists = 2 };
  // The mode as scripts and the report number it (2: every playlist,
  // 1: chosen ones).
  int mode() const { return static_cast<int>(mode_); }
  const Library& library() const { return library_; }
  // What this export uses for the drive's player and where each came
  // from (the command line, the drive's .is_audio_player, the default);
  // set by load().
  const session::PlayerSettings& playerSettings() const { return player_; }
  // The folder the tracks go to, below the root ("Music").
  std::string musicFolderBelowRoot() const {
    return musicPrefix_.substr(0, musicPrefix_.size() - 1);
  }

 private:
  session::PlayerSettings player_;
  base::Result<base::Done> applyPlayerProfile();
  // load()'s two halves: the drive, its profile and record (beside the
  // library's read), then the tracks' and playlists' places on it.
  base::Result<base::Done> openDestination();
  // What the drive held at some paths, and the listings read to see it.
  struct DriveAtLoad {
    session::SeenPaths seen;
    std::shared_ptr<fs::FolderListings> listings;
  };
  base::Result<base::Done> layOut(std::future<DriveAtLoad>* driveAhead = nullptr);
  // What the sources were found to hold by this session's probes, by
  // path, for the record (noteProbes(), once the drive is the export's).
  std::unordered_map<std::string, fs::ProbedSource> probedNow_;
  void noteProbes(fs::DriveRecord& writer);
  // What each snapshot track's source holds, as the last plan found it:
  // its format without its path, which every track would copy.
  struct SourceFormat {
    std::string container, codec;
    int64_t millis = 0;
  };
  std::vector<std::optional<SourceFormat>> probed_;
  void probeSources(const std::vector<uint32_t>& tracks);
  // With a conversion asked, gives each track the drive cannot play its
  // converted name and estimated size; whether any destination changed.
  bool chooseConversions();
  // Each snapshot track's destination as laid out, before any conversion.
  std::vector<std::string> plainDestination_;
  struct Selected {
    const LibraryPlaylist* playlist;
    std::string fileName;
  };
  std::string cleanUpRefusal() const;
  std::vector<std::string> stalePlaylistFiles() const;
  void findStale(const std::shared_ptr<fs::FileManager>& fm);
  // How the clean-up judges the file (not a folder) at `path`, as it was
  // found (`attributes`); `ours` is left to the caller.
  StaleItem judgeFile(const std::string& path, bool playlistFile,
                      const std::optional<fs::FileAttributes>& attributes, int64_t timeStep) const;
  std::string failureReason(const LibraryTrack& t, bool stopped) const;
  struct VerifyCounts {
    size_t verified = 0, unverified = 0;
  };
  VerifyCounts verifyCopies(session::CopyReport& run, fs::FileManager& fm, fs::DriveRecord& writer);

  ExportOptions o_;  // a copy: the caller's may change while the session lives
  Services services_;
  // Every step's file manager notes in lookFailures_ what it could not
  // look at: the steps take such an item as absent, the owner is told.
  std::shared_ptr<fs::FileManager> files() const {
    auto fm = services_.fileManager();
    fm->noteLookFailuresIn(lookFailures_);
    return fm;
  }
  std::shared_ptr<fs::LookFailures> lookFailures_ = std::make_shared<fs::LookFailures>();
  // The walk keys of the tracks' paths below the music folder, as the
  // layout made them.
  session::KnownKeys destinationKeys_;
  Library library_;
  std::string libraryFile_;
  std::string root_;        // the drive's folder
  std::string volumeUuid_;  // when the drive finder chose it
  // Where the tracks go (the drive's .is_audio_player may say): below
  // the root with a slash after it ("Music/"), and absolute.
  std::string musicPrefix_ = std::string(DestinationLayout::kMusicFolder) + "/";
  std::string musicRoot_;
  std::string_view musicFolder() const {
    return std::string_view(musicPrefix_).substr(0, musicPrefix_.size() - 1);
  }
  // The folder the script bridge copies into, whose own lists of paths
  // and intents this exporter honours.
  std::string bridgeRoot() const { return root_ + "/" + DestinationLayout::kMusicFolder; }
  // Where the playlist files go (the drive's .is_audio_player may say):
  // absolute, and below the root ("" for the root itself).
  std::string playlistFolder_, playlistFolderBelowRoot_;
  // A playlist file's path below the root from its file name.
  std::string playlistRelative(const std::string& fileName) const {
    return playlistFolderBelowRoot_.empty() ? fileName : playlistFolderBelowRoot_ + "/" + fileName;
  }
  std::shared_ptr<fs::DestinationRoot> destination_;
  Mode mode_ = Mode::kAllPlaylists;
  std::vector<Selected> selected_;
  // What the drive is to hold after this export; made by plan().
  session::Target target_;
  // Entries (collision keys below the root) of the exporter's playlist
  // files that could not be replaced: the old files stay, and so must
  // what they list.
  std::unordered_set<std::string> stillListed_;
  // Adds what the playlist file at `path` lists on the drive to
  // stillListed_; false when it is there but could not be read.
  bool holdListed(fs::FileManager& fm, const std::string& path);
  // The record forgets its entries whose files are gone and that nothing
  // of this export's target needs.
  void forgetGone();
  // A clean-up of some playlists cannot be judged when a kept playlist
  // file of the exporter's cannot be read: why, or empty.
  std::string keptUnreadable_;
  void makeTarget(fs::FileManager& fm);
  // The exporter's playlist files other than those written now (their
  // collision keys), with their text; sets keptUnreadable_.
  std::vector<std::pair<std::string, std::string>> keptPlaylistFiles(
      fs::FileManager& fm, const std::unordered_set<std::string>& writtenKeys);
  static bool isPlaylistName(std::string_view name);  // ".m3u8" or ".m3u"
  // The playlist files the record holds outside the playlist folder (an
  // earlier profile's), below the root, whether there still or not.
  std::vector<std::string> otherFolderPlaylists() const;
  // The kept playlist files as load() read them; taken by the first plan.
  std::vector<std::pair<std::string, std::string>> keptAtLoad_;
  // Snapshot tracks only kept playlist files list: copied when missing.
  std::vector<uint32_t> keptOnly_;
  // What the drive's intents say of temporaries and files set aside:
  // only those they name (or this run's own) are the exporter's.
  std::unordered_set<std::string> intents_;
  void loadIntents();
  bool temporaryIsOurs(const std::string& path) const;
  void copyBeside(fs::FileManager& fm);
  // Each track's entry as the playlist files spell it, made once for all
  // the files of one plan or one writing that list the track.
  struct TrackLines {
    enum : uint8_t { kNotMade, kMade, kCannot };
    std::vector<std::string> text;
    std::vector<uint8_t> state;
  };
  std::string playlistTextOf(const session::TargetFile& file, const std::vector<uint8_t>& present,
                             PlaylistOutcome* counts, std::set<std::string>* notEncodable,
                             TrackLines* cache = nullptr) const;
  // The entries of the file's present tracks, in `cache`, in its order
  // after the header; those that cannot be spelled go to notEncodable.
  void linesOf(const session::TargetFile& file, const std::vector<uint8_t>& present,
               TrackLines& cache, std::vector<std::string_view>& lines,
               std::set<std::string>* notEncodable) const;
  void countLeftOut(const session::TargetFile& file, const std::vector<uint8_t>& present,
                    PlaylistOutcome* counts) const;
  // What the plan found of each target file it compared: the same text as
  // would be written (with the tracks it expected on the drive), and the
  // file's size and time then.
  std::vector<uint8_t> plannedSame_, plannedPresent_;
  std::vector<fs::FileStamp> plannedStamp_;
  // Fills the three above and the plan's playlist file counts, with
  // `present` the tracks on the drive once the copies are done.
  void comparePlaylistTexts(std::vector<uint8_t> present);
  std::vector<Selected> loaded_;  // what load() selected, before any choose()
  // The engine's view of the same export: the playlists taken and their
  // tracks as plain values, what the drive showed when last planned, and
  // each playlist's place in the snapshot.
  session::Snapshot snapshot_;
  session::Observed observed_;
  // What the sources were found to be while loading, in the snapshot's
  // order; taken by the first plan, empty after it.
  std::vector<std::optional<fs::FileAttributes>> sourcesAtLoad_;
  // What the drive held at the paths of the tracks the record names,
  // looked at while loading beside the library's read, with the listings
  // that look kept: they answer for the first plan only, and only while
  // the record and what the drive holds are as they were then.
  std::optional<DriveAtLoad> driveAtLoad_;
  DriveAtLoad lookAtRecordedPaths(std::vector<std::string> paths, bool keepListings) const;
  // The record's state when load() read it ("" once a plan took it, or
  // once anything else read the record).
  std::string recordAtLoad_;
  std::string recordStamp_;  // of the record as driveRecord_ was last read from it
  std::unordered_map<std::string, uint32_t> snapshotPlaylist_;
  // Each library track's place in the snapshot, by its place in the library.
  static constexpr uint32_t kNotInSnapshot = UINT32_MAX;
  std::vector<uint32_t> snapshotAt_;
  std::vector<const LibraryTrack*> snapshotLibraryTrack_;  // each snapshot track's own
  ExportPlan plan_;
  bool planned_ = false;                    // plan() has sized the export
  fs::PathSet record_;                      // what the exporter wrote, relative to root_
  std::vector<std::pair<std::string, std::string>> besideUsers_;  // see PlaylistOutcome
  fs::RecordContents driveRecord_;  // the same by identity, with the older paths
  session::PlaylistFormat playlistFormat_;
  std::string playlistExtension_;
  // Tracks to rename on the drive (snapshot index, old and new path below
  // the music folder), and what came of it.
  // Below the root. A move (`across`) takes a copy from an earlier music
  // folder to the track's place, which is its destination already; a
  // rename's track stays at `from` until it is done.
  struct PendingRename {
    uint32_t track;
    std::string from, to;
    bool across = false;
  };
  std::vector<PendingRename> pendingRenames_;
  // Looks at the moves' copies where they are: one still as the exporter
  // wrote it, of the track's source as it is now, counts as on the drive
  // at the track's place; the others are dropped, and copied anew.
  void observeMoves(fs::FileManager& fm, session::Observed& observed, bool dropOthers);
  // Looks again at the places of these snapshot tracks, as the plan's look
  // saw the others, into observed_; returns that look.
  session::Observed lookAgain(fs::FileManager& fm, const std::vector<uint32_t>& tracks);
  // The collision keys of the paths below the root that playlist files
  // kept as they stand list, wherever on the drive.
  std::unordered_set<std::string> keptListedKeys(
      const std::vector<std::pair<std::string, std::string>>& kept) const;
  std::unordered_set<std::string> keptListed_;
  std::vector<std::string> elsewhereStale(fs::FileManager& fm) const;
  Renamed renamed_;
  void renameTracks();
  void findUnplayable(const session::Plan& sized);
  // Reads the drive's record anew (kUsage when it cannot be read).
  // kAtLoad notes the record's state as read; kForPlan keeps the record
  // read so when its files have not changed since (DriveRecord::stateStamp).
  enum class RecordRead { kAnew, kAtLoad, kForPlan };
  base::Result<base::Done> loadRecord(RecordRead read = RecordRead::kAnew);
  base::Result<base::Done> chooseRemembered();
  session::DriveView driveView() const;
  session::Choice chosen() const;
  fs::DriveLimits limits_;  // of the drive's file system, as last planned
  // Tracks a check found damaged (see DriveCheck.h).
  std::unordered_map<std::string, fs::FileStamp> damaged_;
};

// The code of a copy that the drive, read back, returned otherwise than
// it was written (export --verify).
inline constexpr int kDriveReturnedOtherData = EBADMSG;

// A failed copy's reason in words a person understands, with where it
// happened (`source`: the copy's source, to tell the two sides apart).
std::string describeCopyFailure(const base::FileError& error, const std::string& source);

}  // namespace app
