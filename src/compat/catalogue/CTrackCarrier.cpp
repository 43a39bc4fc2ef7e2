#include "compat/catalogue/CTrackCarrier.h"

namespace catalogue {

CTrackCarrier CTrackCarrier::withCTrack(const std::shared_ptr<CTrack>& track) {
  return CTrackCarrier(track);
}

void CTrackCarrier::initWithCTrack(const std::shared_ptr<CTrack>& track) {
  track_ = track;
  address_ = track.get();
}

}  // namespace catalogue
