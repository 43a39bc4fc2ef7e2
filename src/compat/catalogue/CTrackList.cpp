#include "compat/catalogue/CTrackList.h"

#include <string_view>
#include <unordered_set>

#include "base/Log.h"
#include "base/Unicode.h"
#include "compat/shell/FailureContainment.h"
#include "compat/shell/stAutoReleasePool.h"

namespace catalogue {
namespace {

std::atomic<bool> g_copy_only_checked{true};

// Length of an optional parallel array, or SIZE_MAX when not given.
size_t lengthOf(const Values* v) { return v ? v->size() : SIZE_MAX; }
size_t lengthOf(const Texts* v) { return v ? v->size() : SIZE_MAX; }

}  // namespace

PlaylistRegistry& CTrackList::trackListDict() {
  static auto* registry = new PlaylistRegistry(32, "trackListDict");
  return *registry;
}

CTrackList::Ptr CTrackList::trackListForUniqueID(const std::string& uniqueID) {
  auto found = trackListDict().get(uniqueID);
  return found ? *found : nullptr;
}

CTrackList::Ptr CTrackList::retainedTrackListForUniqueID(const std::string& uniqueID, bool exported,
                                                         const Values& trackIDs) {
  return retained(uniqueID, exported,
                  LoadInput{Form::kIdentifiers, trackIDs, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr});
}

CTrackList::Ptr CTrackList::retainedTrackListForUniqueID(const std::string& uniqueID, bool exported,
                                                         const Values& trackIDs,
                                                         const Values& enables) {
  return retained(
      uniqueID, exported,
      LoadInput{Form::kEnables, trackIDs, &enables, nullptr, nullptr, nullptr, nullptr, nullptr});
}

CTrackList::Ptr CTrackList::retainedTrackListForUniqueID(
    const std::string& uniqueID, bool exported, const Values& trackIDs, const Values& enables,
    const Texts& sourcePaths, const Texts& destPaths, const Texts& titles, const Texts& artists,
    const Texts& durations) {
  return retained(uniqueID, exported,
                  LoadInput{Form::kFull, trackIDs, &enables, &sourcePaths, &destPaths, &titles,
                            &artists, &durations});
}

CTrackList::Ptr CTrackList::retained(const std::string& uniqueID, bool exported,
                                     const LoadInput& in) {
  PlaylistRegistry& registry = trackListDict();
  if (auto existing = registry.get(uniqueID)) {
    Ptr list = *existing;
    list->load(in);
    list->setIsExported(exported);
    return list;
  }
  auto list = std::make_shared<CTrackList>(Passkey{});
  list->initTrackListForUniqueID(uniqueID, exported, in);
  return list;
}

void CTrackList::initTrackListForUniqueID(const std::string& uniqueID, bool exported,
                                          const LoadInput& in) {
  trackListDict();
  isExported_.store(false);
  entryForm_.store(EntryForm::kAbsolute);
  // Not yet registered: no other thread sees the two fields change apart.
  playlistFileName_.set({});
  uniqueID_.set(uniqueID);
  firstExportTotal_.store(kInvalidTotal);
  setIsExported(exported);
  load(in);
  trackListDict().set(uniqueID, shared_from_this());
}

CTrackList::~CTrackList() { base::logLine("dealloc"); }

void CTrackList::loadTrackListForTrackIDs(const Values& trackIDs) {
  load(LoadInput{Form::kIdentifiers, trackIDs, nullptr, nullptr, nullptr, nullptr, nullptr,
                 nullptr});
}

void CTrackList::loadTrackListForTrackIDs(const Values& trackIDs, const Values& enables) {
  load(LoadInput{Form::kEnables, trackIDs, &enables, nullptr, nullptr, nullptr, nullptr, nullptr});
}

void CTrackList::loadTrackListForTrackIDs(const Values& trackIDs, const Values& enables,
                                          const Texts& sourcePaths, const Texts& destPaths,
                                          const Texts& titles, const Texts& artists,
                                          const Texts& durations) {
  load(LoadInput{Form::kFull, trackIDs, &enables, &sourcePaths, &destPaths, &titles, &artists,
                 &durations});
}

void CTrackList::load(const LoadInput& in) {
  // Every parallel array must cover every identifier; otherwise nothing is
  // changed, so no count is raised for a list that is never stored.
  size_t n = in.trackIDs.size();
  size_t shortest =
      std::min({lengthOf(in.enables), lengthOf(in.sourcePaths), lengthOf(in.destPaths),
                lengthOf(in.titles), lengthOf(in.artists), lengthOf(in.durations)});
  if (shortest < n) {
    base::logFormat(
        "loadTrackListForTrackIDs ignored for playlist %@: %llu track identifiers but a parallel "
        "array "
        "holds only %llu entries",
        uniqueID(), static_cast<uint64_t>(n), static_cast<uint64_t>(shortest));
    return;
  }

  shell::stAutoReleasePool pool;
  TrackArrayPtr old = trackList();
  bool exported = isExported();
  auto fresh = std::make_shared<TrackArray>();
  fresh->reserve(n);
  for (size_t i = 0; i < n; ++i) {
    std::optional<std::string> text = in.trackIDs[i].identifierText();
    if (!text) {
      // Neither a text nor a number: no track can have it.
      if (in.form != Form::kIdentifiers) {
        base::logFormat("loadTrackListForTrackIDs unusable track identifier: %@ (%d)",
                        in.trackIDs[i].description(), static_cast<int64_t>(i));
      }
      continue;
    }
    std::string id = base::unicode::trimBlanksAndTabs(*text);
    CTrack::Ptr track;
    switch (in.form) {
      case Form::kIdentifiers:
        track = CTrack::trackForUniqueID(id);
        if (track) track->incrementExport(exported);
        break;
      case Form::kEnables:
        track = CTrack::trackForUniqueID(id);
        if (!track) {
          base::logFormat("loadTrackListForTrackIDs missing track: %@ (%d)", id,
                          static_cast<int64_t>(i));
          break;
        }
        track->incrementExport(exported);
        track->setTrackEnabled((*in.enables)[i].boolValue());
        break;
      case Form::kFull:
        track =
            CTrack::trackForUniqueID(id, (*in.enables)[i], (*in.sourcePaths)[i], (*in.destPaths)[i],
                                     (*in.titles)[i], (*in.artists)[i], (*in.durations)[i]);
        if (track) track->incrementExport(exported);
        break;
    }
    if (track) fresh->push_back(std::move(track));
  }
  setTrackList(std::move(fresh));
  setUnCopiedTotal(kInvalidTotal);
  invalidateFirstExportTotals();
  if (old) {
    for (const auto& track : *old) track->decrementExport(exported);
    old.reset();  // records no playlist lists any more die here
  }
}

void CTrackList::setIsExported(bool exported) {
  if (exported == isExported()) return;
  TrackArrayPtr tracks = trackList();
  for (const auto& track : *tracks) {
    if (exported) {
      track->incrementExport(true);
    } else {
      track->decrementExport(true);
    }
  }
  invalidateFirstExportTotals();
  isExported_.store(exported, std::memory_order_release);
}

Texts CTrackList::uniqueInOrder(const Texts& uniqueIDs) {
  Texts unique;
  unique.reserve(uniqueIDs.size());
  std::unordered_set<std::string_view> seen;
  seen.reserve(uniqueIDs.size());
  for (const auto& id : uniqueIDs) {
    if (seen.insert(id).second) unique.push_back(id);
  }
  return unique;
}

void CTrackList::setIsExported(bool exported, const std::string& uniqueID) {
  if (Ptr list = trackListForUniqueID(uniqueID)) list->setIsExported(exported);
}

void CTrackList::setCopyOnlyCheckedItems(bool value) {
  if (value != copyOnlyCheckedItems()) {
    invalidateUnCopiedTotals();
    invalidateFirstExportTotals();
  }
  g_copy_only_checked.store(value);
}

bool CTrackList::copyOnlyCheckedItems() { return g_copy_only_checked.load(); }

namespace {

template <class Write>
void walkPlaylists(const char* line, Write write) {
  PlaylistRegistry& registry = CTrackList::trackListDict();
  shell::repeatUntilClean(
      line, [&] { registry.forEachValue([&](const CTrackList::Ptr& list) { write(*list); }); });
}

}  // namespace

void CTrackList::invalidateFirstExportTotals() {
  walkPlaylists("exeception invalidateFirstExportTotals Exception: %@ Reason: %@",
                [](CTrackList& l) { l.setFirstExportTotal(kInvalidTotal); });
}

void CTrackList::invalidateUnCopiedTotals() {
  walkPlaylists("exeception invalidateUnCopiedTotals Exception: %@ Reason: %@",
                [](CTrackList& l) { l.setUnCopiedTotal(kInvalidTotal); });
}

void CTrackList::clearFirstExportTotals() {
  walkPlaylists("exeception clearFirstExportTotals Exception: %@ Reason: %@",
                [](CTrackList& l) { l.setFirstExportTotal(0); });
}

std::string CTrackList::uniqueID() const { return uniqueID_.get(); }
void CTrackList::setUniqueID(const std::string& v) { uniqueID_.set(v); }
std::string CTrackList::playlistFileName() const { return playlistFileName_.get(); }
void CTrackList::setPlaylistFileName(const std::string& v) { playlistFileName_.set(v); }
TrackArrayPtr CTrackList::trackList() const { return trackList_.get(); }

void CTrackList::setTrackList(TrackArrayPtr v) {
  if (!v) v = std::make_shared<const TrackArray>();
  // The list before is released here, outside the lock: its records may die.
  TrackArrayPtr previous = trackList_.exchange(std::move(v));
}

void CTrackList::resetForTesting() {
  trackListDict().clear();
  CTrack::setDestinationBasePath(std::nullopt);
  g_copy_only_checked.store(true);
}

}  // namespace catalogue
