// The per-playlist step of a copy run, and the run on the calling thread.
#include "catalogue/CTrackList.h"
#include "platform/DockProgressFactory.h"
#include "platform/RunLoop.h"
#include "shell/stAutoReleasePool.h"

namespace catalogue {

uint64_t CTrackList::doCopyWithAlreadyCopied(uint64_t alreadyCopied,
                                             const std::shared_ptr<platform::ProgressIndicator>& indicator,
                                             const std::function<void(uint64_t)>& onProgress) {
  auto fm = platform::FileManager::makePrivate();
  uint64_t count = alreadyCopied;
  TrackArrayPtr tracks = trackList();
  auto& loop = platform::MainRunLoop::shared();
  for (const auto& track : *tracks) {
    platform::FileError error;
    count += track->doCopyWithFileManager(fm.get(), &error);
    if (indicator) {
      if (loop.isMainThread()) {
        indicator->setDoubleValue(static_cast<double>(count));
      } else {
        double value = static_cast<double>(count);
        loop.performAsync([indicator, value] { indicator->setDoubleValue(value); });
      }
    }
    if (onProgress) onProgress(count);
  }
  return count;
}

void CTrackList::copyPlaylistUniqueIDs(const Texts& uniqueIDs) {
  shell::stAutoReleasePool pool;
  double total = netCopyTotalUniqueIDs(uniqueIDs);
  auto indicator = platform::makeDockProgressIndicator();
  if (indicator) {
    indicator->setMinValue(0);
    indicator->setMaxValue(total);
    indicator->setDoubleValue(0);
  }
  uint64_t count = 0;
  for (const auto& id : uniqueIDs) {
    shell::stAutoReleasePool playlistPool;
    if (auto list = trackListForUniqueID(id)) count = list->doCopyWithAlreadyCopied(count, indicator);
  }
  if (indicator) indicator->setHidden(true);
}

}  // namespace catalogue
