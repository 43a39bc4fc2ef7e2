#include "compat/catalogue/CTrack.h"

#include "base/Log.h"
#include "base/Unicode.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/runtime/AutoreleasePool.h"
#include "compat/shell/FailureContainment.h"

namespace catalogue {
namespace {

std::mutex g_root_mutex;
std::optional<std::string>& rootStorage() {
  static auto* root = new std::optional<std::string>();
  return *root;
}

}  // namespace

TrackRegistry& CTrack::trackDict() {
  static auto* registry = new TrackRegistry(2000, "masterTrackDictionary");
  return *registry;
}

CTrack::Ptr CTrack::trackForUniqueID(const std::string& uniqueID) {
  auto carrier = trackDict().get(uniqueID);
  return carrier ? carrier->track() : nullptr;
}

CTrack::Ptr CTrack::updateTrackForUniqueID(const std::string& uniqueID, const base::Value& enable) {
  Ptr track = trackForUniqueID(uniqueID);
  if (track) track->setTrackEnabled(enable.boolValue());
  return track;
}

CTrack::Ptr CTrack::trackForUniqueID(const std::string& uniqueID, const base::Value& enable,
                                     const std::string& sourcePath, const std::string& destPath,
                                     const std::string& title, const std::string& artist,
                                     const std::string& duration) {
  TrackRegistry& registry = trackDict();
  // A registered record whose last owner is letting it go (its carrier
  // no longer yields it) counts as absent: a fresh record replaces it.
  for (;;) {
    bool created = false;
    Ptr fresh;
    CTrackCarrier carrier = registry.getOrInsert(
        uniqueID,
        [&] {
          // Filled before it is registered, so no other thread can find a
          // half-made record.
          fresh = std::make_shared<CTrack>(Passkey{});
          fresh->initForUniqueID(uniqueID, enable, sourcePath, destPath, title, artist, duration);
          return CTrackCarrier::withCTrack(fresh);
        },
        &created);
    if (created) return platform::AutoreleasePool::autoreleased(fresh);
    if (Ptr existing = carrier.track()) {
      existing->setTrackEnabled(enable.boolValue());
      return existing;
    }
    // The entry of a record that is being destroyed right now: drop it
    // and make a fresh record.
    registry.eraseIf(uniqueID, [](const CTrackCarrier& c) { return !c.track(); });
  }
}

void CTrack::initForUniqueID(const std::string& uniqueID, const base::Value& enable,
                             const std::string& sourcePath, const std::string& destPath,
                             const std::string& title, const std::string& artist,
                             const std::string& duration) {
  std::lock_guard<std::mutex> lock(strings_);
  uniqueID_ = uniqueID;
  registeredID_ = uniqueID;
  // Kept byte for byte as given: a Linux file name is a byte string, and a
  // path turned into another Unicode form names a file that is not there.
  // Comparisons that must not depend on the form (the root, the stale-file
  // pass) normalise when they compare.
  sourcePath_ = sourcePath;
  destPathRel_ = destPath;
  trackEnabled_.store(enable.boolValue());
  exportCount_.store(0);
  trackSize_.store(0);
  trackTested_.store(false);
  trackPresent_.store(false);
  presentSetInResolve_.store(false);
  firstExport_.store(false);
  trackTitle_ = title;
  trackArtist_ = artist;
  trackDuration_ = duration;
}

CTrack::~CTrack() {
  base::logLine("dealloc");
  std::string current, registered;
  {
    std::lock_guard<std::mutex> lock(strings_);
    current = uniqueID_;
    registered = registeredID_;
  }
  // Remove only this record's own entry: a newer record may already have
  // taken the identifier while this one was being let go.
  auto mine = [this](const CTrackCarrier& c) { return c.carries(this); };
  trackDict().eraseIf(current, mine);
  if (registered != current) trackDict().eraseIf(registered, mine);
}

std::optional<std::string> CTrack::destinationBasePath() {
  std::lock_guard<std::mutex> lock(g_root_mutex);
  return rootStorage();
}

void CTrack::setDestinationBasePath(const std::optional<std::string>& given) {
  // An empty root (what a script gets for a volume it cannot find) is no
  // root: joined with a relative path it would aim every copy, folder and
  // playlist entry at "/".
  std::optional<std::string> path = given && !given->empty() ? given : std::nullopt;
  {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    auto& root = rootStorage();
    // The same folder written in another Unicode form is no change.
    if (root && path && base::unicode::nfd(*root) == base::unicode::nfd(*path)) return;
    root = path;
  }
  invalidateAllTrackDestinations();
  CTrackList::invalidateFirstExportTotals();
  CTrackList::invalidateUnCopiedTotals();
}

void CTrack::invalidateAllTrackDestinations() {
  TrackRegistry& registry = trackDict();
  shell::repeatUntilClean(
      "exeception invalidateAllTrackDestinations Exception: %@ Reason: %@", [&] {
        registry.forEachValue([](const CTrackCarrier& carrier) {
          if (Ptr track = carrier.track()) {
            track->setTrackTested(false);
            track->setTrackPresent(false);
            track->setPresentSetInResolve(false);
            track->sourceState_.store(SourceState::kUnknown, std::memory_order_release);
          }
        });
      });
}

void CTrack::clearFirstExportFlags() {
  TrackRegistry& registry = trackDict();
  shell::repeatUntilClean("exeception clearFirstExportFlags Exception: %@ Reason: %@", [&] {
    registry.forEachValue([](const CTrackCarrier& carrier) {
      if (Ptr track = carrier.track()) track->setFirstExport(false);
    });
  });
}

std::optional<std::string> CTrack::absDestinationPath() const {
  auto root = destinationBasePath();
  if (!root) return std::nullopt;
  return joinPathComponents(*root, destPathRel());
}

void CTrack::incrementExport(bool exported) {
  if (exported) exportCount_.fetch_add(1, std::memory_order_relaxed);
}

void CTrack::decrementExport(bool exported) {
  if (exported) exportCount_.fetch_sub(1, std::memory_order_relaxed);
}

bool CTrack::trackShouldCopy() const {
  return exportCount() != 0 && (trackEnabled() || !CTrackList::copyOnlyCheckedItems());
}

std::string CTrack::getString(const std::string& field) const {
  std::lock_guard<std::mutex> lock(strings_);
  return field;
}

void CTrack::setString(std::string& field, const std::string& v) {
  std::lock_guard<std::mutex> lock(strings_);
  field = v;
}

std::string CTrack::uniqueID() const { return getString(uniqueID_); }
void CTrack::setUniqueID(const std::string& v) { setString(uniqueID_, v); }
std::string CTrack::sourcePath() const { return getString(sourcePath_); }
void CTrack::setSourcePath(const std::string& v) {
  std::lock_guard<std::mutex> lock(strings_);
  if (sourcePath_ == v) return;
  sourcePath_ = v;
  sourceState_.store(SourceState::kUnknown, std::memory_order_release);
}
std::string CTrack::destPathRel() const { return getString(destPathRel_); }
void CTrack::setDestPathRel(const std::string& v) { setString(destPathRel_, v); }
std::string CTrack::trackTitle() const { return getString(trackTitle_); }
void CTrack::setTrackTitle(const std::string& v) { setString(trackTitle_, v); }
std::string CTrack::trackArtist() const { return getString(trackArtist_); }
void CTrack::setTrackArtist(const std::string& v) { setString(trackArtist_, v); }
std::string CTrack::trackDuration() const { return getString(trackDuration_); }
void CTrack::setTrackDuration(const std::string& v) { setString(trackDuration_, v); }

}  // namespace catalogue
