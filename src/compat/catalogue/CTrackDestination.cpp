// The destination check, the single-track copy, the size sum and the
// cover image queries of CTrack.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "base/Log.h"
#include "base/Path.h"
#include "compat/catalogue/CTrack.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/catalogue/ScriptCopyRecord.h"
#include "compat/shell/FailureContainment.h"
#include "compat/shell/stAutoReleasePool.h"
#include "fs/DestinationRoot.h"

namespace catalogue {
namespace {

fs::FileManager& orDefault(fs::FileManager* fm, std::shared_ptr<fs::FileManager>& holder) {
  if (fm) return *fm;
  holder = fs::FileManager::defaultManager();
  return *holder;
}

void setError(base::FileError* error, int code, std::string text) {
  if (!error) return;
  error->code = code;
  error->localizedDescription = std::move(text);
}

}  // namespace

std::string CTrack::artFileName() { return "folder.jpg"; }

bool CTrack::destinationLeavesRoot() const { return leavesRoot(destPathRel()); }

bool CTrack::leavesRoot(const std::string& rel) {
  size_t start = 0;
  while (start <= rel.size()) {
    size_t end = rel.find('/', start);
    if (end == std::string::npos) end = rel.size();
    if (rel.compare(start, end - start, "..") == 0 && end - start == 2) return true;
    start = end + 1;
  }
  return false;
}

bool CTrack::resolveWithFileManager(fs::FileManager* fileManager) {
  std::shared_ptr<fs::FileManager> holder;
  fs::FileManager& fm = orDefault(fileManager, holder);
  auto destination = absDestinationPath();
  if (!destination) return false;
  bool isDirectory = false;
  // A path that climbs out of the root is never looked at: such a track
  // can never be present.
  bool present =
      !destinationLeavesRoot() && fm.fileExistsAtPath(*destination, &isDirectory) && !isDirectory;
  {
    shell::stAutoReleasePool pool;
    uint64_t size = 0;
    base::FileError error;
    auto attributes = fm.attributesOfItemAtPath(sourcePath(), &error);
    // The copy reads through a link, so the size is the linked file's.
    if (attributes && attributes->type == fs::FileType::kSymbolicLink) {
      attributes = fm.attributesOfLinkTargetAtPath(sourcePath(), &error);
    }
    if (attributes && attributes->type != fs::FileType::kDirectory) size = attributes->size;
    setTrackSize(size);
    sourceState_.store(attributes ? SourceState::kFound : SourceState::kMissing,
                       std::memory_order_release);
  }
  setTrackPresent(present);
  setPresentSetInResolve(true);
  setTrackTested(true);
  return present;
}

void CTrack::resolveAll(const std::vector<Ptr>& tracks, fs::FileManager* fileManager) {
  if (tracks.empty()) return;
  std::shared_ptr<fs::FileManager> holder;
  fs::FileManager& fm = orDefault(fileManager, holder);
  auto root = destinationBasePath();
  if (!root) return;  // states stay unknown, as one by one
  // The paths go into blocks of text that never move, filled by a few
  // threads, each from one slice of the tracks, read straight from each
  // record under its lock: no copy per path. Queries hold destinations
  // first, then sources.
  size_t n = tracks.size();
  unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
  size_t slices = n >= 8192 ? std::min<size_t>(hardware, 4) : 1;
  std::vector<std::vector<std::unique_ptr<char[]>>> blocks(slices);
  std::vector<fs::FileManager::ItemQuery> queries(2 * n);
  std::vector<char> leaves(n);
  auto fill = [&](size_t slice) {
    size_t from = n * slice / slices, to = n * (slice + 1) / slices;
    constexpr size_t kBlock = 1 << 20;
    char* at = nullptr;
    size_t room = 0;
    auto place = [&](std::string_view text) {
      if (text.empty()) return std::string_view();
      if (text.size() > room) {
        room = std::max(kBlock, text.size());
        blocks[slice].push_back(std::make_unique_for_overwrite<char[]>(room));
        at = blocks[slice].back().get();
      }
      std::memcpy(at, text.data(), text.size());
      std::string_view placed(at, text.size());
      at += text.size();
      room -= text.size();
      return placed;
    };
    std::string destination;
    for (size_t i = from; i < to; ++i) {
      CTrack& t = *tracks[i];
      std::lock_guard<std::mutex> lock(t.strings_);
      leaves[i] = leavesRoot(t.destPathRel_);
      // A path that climbs out of the root is never looked at: such a
      // track can never be present.
      destination.clear();
      if (!leaves[i]) appendJoinedPath(&destination, *root, t.destPathRel_);
      queries[i] = {place(destination), false};
      queries[n + i] = {place(t.sourcePath_), true};
    }
  };
  {
    std::vector<std::thread> helpers;
    for (size_t slice = 1; slice < slices; ++slice) helpers.emplace_back(fill, slice);
    fill(0);
    for (auto& h : helpers) h.join();
  }
  // The lookups mostly wait on the kernel, so more threads than cores.
  unsigned threads = std::clamp(2 * std::thread::hardware_concurrency(), 2u, 8u);
  auto found = fm.attributesOfItems(queries, threads);
  for (size_t i = 0; i < n; ++i) {
    CTrack& t = *tracks[i];
    const auto& atDestination = found[i];
    auto& atSource = found[n + i];
    // The copy reads through a link, so the size is the linked file's.
    if (atSource && atSource->type == fs::FileType::kSymbolicLink) {
      atSource = fm.attributesOfLinkTargetAtPath(std::string(queries[n + i].path), nullptr);
    }
    bool present = !leaves[i] && atDestination && atDestination->type != fs::FileType::kDirectory;
    uint64_t size = atSource && atSource->type != fs::FileType::kDirectory ? atSource->size : 0;
    t.setTrackSize(size);
    t.sourceState_.store(atSource ? SourceState::kFound : SourceState::kMissing,
                         std::memory_order_release);
    t.setTrackPresent(present);
    t.setPresentSetInResolve(true);
    t.setTrackTested(true);
  }
}

uint64_t CTrack::outputContribution() {
  if (!trackTested()) resolveWithFileManager(nullptr);
  return trackShouldCopy() ? trackSize() : 0;
}

uint64_t CTrack::doCopyWithFileManager(fs::FileManager* fileManager, base::FileError* error) {
  std::shared_ptr<fs::FileManager> holder;
  fs::FileManager& fm = orDefault(fileManager, holder);
  // Written below the root, whose folders the batch makes as needed.
  fs::CopyBatchOptions options{fs::DestinationRoot::open(destinationBasePath().value_or("")),
                               nullptr};
  auto ids = std::make_shared<ScriptCopyRecord::Ids>();
  int locked = 0;
  auto identities = ScriptCopyRecord::of(options.root->path(), &locked);
  if (identities) identities->prepare(options, ids);
  // Nothing is written below an export another process is writing.
  if (locked != 0) {
    setError(error, locked,
             "Another export is writing to “" + options.root->path() + "”, so “" + trackTitle() +
                 "” was not copied.");
    return 0;
  }
  auto batch = fm.makeCopyBatch(options);
  if (auto destination = absDestinationPath()) ids->emplace(*destination, uniqueID());
  if (!stageCopy(fm, *batch, error)) return 0;
  std::vector<base::FileError> errors;
  std::vector<bool> inPlace = batch->commit(&errors);
  bool named = !inPlace.empty() && inPlace[0];
  if (!named && error && !errors.empty()) *error = errors[0];
  return finishCopy(fm, named);
}

bool CTrack::stageCopy(fs::FileManager& fm, fs::CopyBatch& batch, base::FileError* error) {
  if (!trackTested()) resolveWithFileManager(&fm);
  if (trackPresent()) return false;
  if (!trackEnabled() && CTrackList::copyOnlyCheckedItems()) return false;

  auto destination = absDestinationPath();
  if (!destination) {
    setError(error, ENOENT,
             "No destination folder is set, so “" + trackTitle() + "” was not copied.");
    return false;
  }
  if (destinationLeavesRoot()) {
    base::logFormat(
        "doCopyWithFileManager refused %@: its destination path “%@” leaves the destination folder",
        uniqueID(), destPathRel());
    setError(error, EINVAL,
             "The destination path “" + destPathRel() +
                 "” leaves the destination folder, so it was not copied.");
    return false;
  }
  // The batch makes the track's folder below its root. Whatever stands
  // in the way (a file, a link to a folder elsewhere) is the user's and
  // stays: the copy fails and says so.
  return batch.addCopy(sourcePath(), *destination, error);
}

uint64_t CTrack::finishCopy(fs::FileManager&, bool inPlace) {
  if (!inPlace) return 0;
  // The batch has just named the copy, so the track is on the drive: no
  // need to look again (a second look per track is most of a small
  // file's cost).
  setTrackPresent(true);
  setPresentSetInResolve(true);
  setTrackTested(true);
  return trackSize();
}

std::optional<std::string> CTrack::artDir() const {
  auto destination = absDestinationPath();
  if (!destination) return std::nullopt;
  return base::parentOf(*destination);
}

std::optional<std::string> CTrack::artPath() const {
  auto dir = artDir();
  if (!dir) return std::nullopt;
  return joinPathComponents(*dir, artFileName());
}

bool CTrack::trackNeedsArt(fs::FileManager* fileManager, bool mkdir) {
  std::shared_ptr<fs::FileManager> holder;
  fs::FileManager& fm = orDefault(fileManager, holder);
  if (!trackTested()) resolveWithFileManager(&fm);
  auto dir = artDir();
  if (!dir) return true;
  bool isDirectory = false;
  if (fm.fileExistsAtPath(*dir, &isDirectory) && isDirectory) {
    bool artIsDirectory = false;
    if (!fm.fileExistsAtPath(*artPath(), &artIsDirectory)) return true;
    return artIsDirectory;
  }
  // Made below the root only: never the root itself or anything above
  // it, never through a link.
  if (mkdir && !destinationLeavesRoot()) {
    auto root = fs::DestinationRoot::open(destinationBasePath().value_or(""));
    if (auto relative = root->relativePath(*dir)) {
      int fd = root->openFolder(*relative, true);
      if (fd >= 0) close(fd);
    }
  }
  return true;
}

double CTrack::getTotalTrackSize(bool exportedOnly, UnknownDestination unknown) {
  return getTotalTrackSize(exportedOnly, unknown, nullptr);
}

double CTrack::getTotalTrackSize(bool exportedOnly, UnknownDestination unknown,
                                 fs::FileManager* fileManager) {
  shell::stAutoReleasePool pool;
  std::shared_ptr<fs::FileManager> holder;
  fs::FileManager* fm = fileManager;
  if (unknown == UnknownDestination::kCheckedNow && !fm) {
    holder = fs::FileManager::makePrivate();
    fm = holder.get();
  }
  bool copyOnlyChecked = CTrackList::copyOnlyCheckedItems();
  uint64_t sum = 0;
  TrackRegistry& registry = trackDict();
  shell::repeatUntilClean("exeception getTotalTrackSize Exception: %@ Reason: %@", [&] {
    sum = 0;
    std::vector<Ptr> considered;
    considered.reserve(registry.size());
    registry.forEachValue([&](const CTrackCarrier& carrier) {
      Ptr track = carrier.track();
      if (!track) return;
      if (exportedOnly &&
          !(track->exportCount() != 0 && (track->trackEnabled() || !copyOnlyChecked)))
        return;
      considered.push_back(std::move(track));
    });
    if (unknown == UnknownDestination::kCheckedNow) {
      // Every untested track is checked now, all in one batch (without a
      // second list when none is tested yet, as after a change of root).
      size_t tested = 0;
      for (const auto& track : considered) tested += track->trackTested() ? 1 : 0;
      if (tested == 0) {
        resolveAll(considered, fm);
      } else if (tested < considered.size()) {
        std::vector<Ptr> untested;
        untested.reserve(considered.size() - tested);
        for (const auto& track : considered)
          if (!track->trackTested()) untested.push_back(track);
        resolveAll(untested, fm);
      }
    }
    for (const auto& track : considered) {
      bool counted = false;
      switch (unknown) {
        case UnknownDestination::kNotCounted:
          counted = track->trackTested() && !track->trackPresent();
          break;
        case UnknownDestination::kCounted:
          counted = !track->trackTested() || !track->trackPresent();
          break;
        case UnknownDestination::kCheckedNow:
          if (!track->trackTested()) track->resolveWithFileManager(fm);
          counted = !track->trackPresent();
          break;
        case UnknownDestination::kEveryTrack:
          counted = true;
          break;
      }
      if (counted) sum += track->trackSize();
    }
  });
  return static_cast<double>(sum);
}

std::vector<std::vector<std::string>> CTrack::tracksNeedingArtMkdir(bool mkdir) {
  std::vector<std::string> identifiers, paths;
  identifiers.reserve(500);
  paths.reserve(500);
  {
    shell::stAutoReleasePool pool;
    auto fm = fs::FileManager::makePrivate();
    TrackRegistry& registry = trackDict();
    shell::logAndContinue("exeception tracksNeedingArt Exception: %@ Reason: %@", [&] {
      registry.forEachValue([&](const CTrackCarrier& carrier) {
        Ptr track = carrier.track();
        if (!track || track->exportCount() == 0) return;
        // A cover image path outside the root must not reach the script,
        // which would write the image there.
        if (track->destinationLeavesRoot()) return;
        if (!track->trackNeedsArt(fm.get(), mkdir)) return;
        identifiers.push_back(track->uniqueID());
        paths.push_back(track->artPath().value_or(""));
      });
    });
  }
  return {std::move(identifiers), std::move(paths)};
}

}  // namespace catalogue
