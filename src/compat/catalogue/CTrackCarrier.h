// The track registry's entry for one record: a reference to a CTrack
// that does not own it (the playlists listing the track own it).
//
// Thread: a value type; copies may be read from any thread.
#pragma once

#include <memory>

namespace catalogue {

class CTrack;

class CTrackCarrier {
 public:
  CTrackCarrier() = default;
  // A new carrier for `track`, without taking ownership.
  static CTrackCarrier withCTrack(const std::shared_ptr<CTrack>& track);
  explicit CTrackCarrier(const std::shared_ptr<CTrack>& track) { initWithCTrack(track); }
  void initWithCTrack(const std::shared_ptr<CTrack>& track);

  // The record, or none once it has been destroyed.
  std::shared_ptr<CTrack> track() const { return track_.lock(); }
  void setTrack(const std::shared_ptr<CTrack>& track) { initWithCTrack(track); }

  // Whether this carrier was made for exactly `record` (compared by
  // address; valid even while the record is being destroyed).
  bool carries(const CTrack* record) const { return address_ == record; }

 private:
  std::weak_ptr<CTrack> track_;
  const CTrack* address_ = nullptr;
};

}  // namespace catalogue
