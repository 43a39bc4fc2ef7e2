// The space accounting of CTrackList: uncopied and first-export totals
// per playlist and the net copy total of an ordered set of playlists.
#include "base/Log.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/shell/FailureContainment.h"
#include "compat/shell/stAutoReleasePool.h"

namespace catalogue {
namespace {

// A private file manager made only when a calculation meets its first
// track whose destination is unknown, and kept for the rest of the call.
class LazyFileManager {
 public:
  fs::FileManager* get() {
    if (!fm_) fm_ = fs::FileManager::makePrivate();
    return fm_.get();
  }
  // Checks every untested track of `tracks` in one batch.
  void resolveUntested(const TrackArray& tracks) {
    std::vector<CTrack::Ptr> untested;
    for (const auto& track : tracks)
      if (!track->trackTested()) untested.push_back(track);
    if (!untested.empty()) CTrack::resolveAll(untested, get());
  }

 private:
  std::shared_ptr<fs::FileManager> fm_;
};

template <class Each>
void forEachListed(const Texts& uniqueIDs, Each each) {
  for (const auto& id : uniqueIDs) {
    if (auto list = CTrackList::trackListForUniqueID(id)) each(*list);
  }
}

}  // namespace

void CTrackList::calcUncopiedTotal() {
  shell::stAutoReleasePool pool;
  LazyFileManager fm;
  TrackArrayPtr tracks = trackList();
  shell::repeatUntilClean("exeception calcUncopiedTotal Exception: %@ Reason: %@", [&] {
    uint64_t total = 0;
    setUnCopiedTotal(0);
    fm.resolveUntested(*tracks);
    for (const auto& track : *tracks) {
      if (!track->trackTested()) track->resolveWithFileManager(fm.get());
      if (!track->trackPresent()) total += track->outputContribution();
    }
    setUnCopiedTotal(total);
  });
  setFirstExportTotal(kInvalidTotal);
}

void CTrackList::calcFirstExportTotal() {
  shell::stAutoReleasePool pool;
  LazyFileManager fm;
  TrackArrayPtr tracks = trackList();
  bool exported = isExported();
  uint64_t total = 0;
  setFirstExportTotal(0);
  shell::repeatUntilClean("exeception calcFirstExportTotal Exception: %@ Reason: %@", [&] {
    // An exported playlist keeps what a failed attempt counted: the tracks
    // it claimed are skipped on the retry. A playlist that is not exported
    // claims nothing, so its retry must start from zero or it would count
    // the same tracks twice.
    if (!exported) total = 0;
    fm.resolveUntested(*tracks);
    for (const auto& track : *tracks) {
      if (!track->trackTested()) track->resolveWithFileManager(fm.get());
      if (!track->trackPresent() && !track->firstExport()) {
        if (exported) track->setFirstExport(true);
        total += track->outputContribution();
        setFirstExportTotal(total);
      }
    }
  });
  setFirstExportTotal(total);
  base::logFormat(exported ? "calcFirstExportTotal result for %@ <%@> is %llu"
                           : "calcFirstExportTotal result for %@ <%@> is %llu (not exported)",
                  uniqueID(), playlistFileName(), total);
}

double CTrackList::uncopiedTotal() {
  if (unCopiedTotal() == kInvalidTotal) calcUncopiedTotal();
  return static_cast<double>(unCopiedTotal());
}

double CTrackList::netcopyTotal() const {
  uint64_t total = firstExportTotal();
  return total == kInvalidTotal ? 0.0 : static_cast<double>(total);
}

double CTrackList::netcopyValid() const { return firstExportTotal() == kInvalidTotal ? 0.0 : 1.0; }

uint64_t CTrackList::unCopiedTotalforUniqueID(const std::string& uniqueID) {
  auto list = trackListForUniqueID(uniqueID);
  return list ? list->unCopiedTotal() : 0;
}

uint64_t CTrackList::firstExportTotalforUniqueID(const std::string& uniqueID) {
  auto list = trackListForUniqueID(uniqueID);
  return list ? list->firstExportTotal() : 0;
}

void CTrackList::recalcUncopiedTotalsForPlaylistUniqueIDs(const Texts& uniqueIDs) {
  CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCheckedNow);
  forEachListed(uniqueIDs, [](CTrackList& list) { list.calcUncopiedTotal(); });
}

void CTrackList::recalcFirstExportTotalsForPlaylistUniqueIDs(const Texts& uniqueIDs) {
  clearFirstExportTotals();
  CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCheckedNow);
  CTrack::clearFirstExportFlags();
  // A repeat would find every track already claimed by the playlist's first
  // listing and overwrite its total with nothing.
  forEachListed(uniqueInOrder(uniqueIDs), [](CTrackList& list) { list.calcFirstExportTotal(); });
}

void CTrackList::recalcAllTotalsforUniqueIDs(const Texts& uniqueIDs) {
  recalcUncopiedTotalsForPlaylistUniqueIDs(uniqueIDs);
  recalcFirstExportTotalsForPlaylistUniqueIDs(uniqueIDs);
}

double CTrackList::netCopyTotalUniqueIDs(const Texts& uniqueIDs) {
  return netCopyTotalUniqueIDs(uniqueIDs, nullptr);
}

double CTrackList::netCopyTotalUniqueIDs(const Texts& uniqueIDs, fs::FileManager* fileManager) {
  // Each playlist is summed once, however often it is listed.
  Texts unique = uniqueInOrder(uniqueIDs);
  CTrack::invalidateAllTrackDestinations();
  // The totals below find these tracks known and look nothing up again.
  if (fileManager) {
    CTrack::getTotalTrackSize(true, CTrack::UnknownDestination::kCheckedNow, fileManager);
  }
  recalcAllTotalsforUniqueIDs(unique);
  double sum = 0.0;
  forEachListed(unique, [&](CTrackList& list) { sum += list.netcopyTotal(); });
  return sum;
}

void CTrackList::conditionalRecalcFirstExportTotalsForPlaylistUniqueIDs(const Texts& uniqueIDs) {
  for (const auto& id : uniqueIDs) {
    auto list = trackListForUniqueID(id);
    if (list && list->firstExportTotal() == kInvalidTotal) {
      recalcFirstExportTotalsForPlaylistUniqueIDs(uniqueIDs);
      return;
    }
  }
}

void CTrackList::conditionalRecalcUncopiedTotalsForPlaylistUniqueIDs(const Texts& uniqueIDs) {
  forEachListed(uniqueIDs, [](CTrackList& list) { list.uncopiedTotal(); });
}

}  // namespace catalogue
