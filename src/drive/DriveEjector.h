// Ejecting a drive so that it can be unplugged safely: its data flushed,
// its volume unmounted and the drive powered off. The interface is the
// platform's; the backend (drive/UdisksEjector.h) asks udisks2 over the
// system bus, so that no root rights are needed.
//
// Thread: an ejector may be used from any one thread at a time; eject()
// blocks until the drive is off or the system said why not.
// Errors: nothing is thrown; the outcome says what was done and, when
// not everything was, what failed, where and why, in words for a person.
#pragma once

#include <string>

namespace drive {

struct EjectOutcome {
  bool found = true;        // false: no such volume, nothing was tried
  bool unmounted = false;   // the volume is no longer mounted (or never was)
  bool poweredOff = false;  // the drive may be unplugged
  std::string message;      // what happened, for the person
};

class DriveEjector {
 public:
  virtual ~DriveEjector() = default;
  // `device`: the volume's kernel block device ("sdb1"); `mountPoint`:
  // where it is mounted, flushed first (empty: none to flush).
  virtual EjectOutcome eject(const std::string& device, const std::string& mountPoint) = 0;
};

}  // namespace drive
