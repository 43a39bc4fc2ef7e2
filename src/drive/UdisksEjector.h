// The drive ejector backed by udisks2 over D-Bus (sd-bus): the volume's
// file system is flushed (syncfs), udisks2 unmounts it
// (org.freedesktop.UDisks2.Filesystem.Unmount) and powers its drive off
// (org.freedesktop.UDisks2.Drive.PowerOff), as a desktop's Eject does.
//
// Thread: see drive/DriveEjector.h; each eject() opens its own bus
// connection.
// Errors: a busy volume (a program holds a file open), udisks2 missing,
// the system bus unreachable, a refusal by policy: each said in words
// naming the device, without anything changed.
#pragma once

#include <string>

#include "drive/DriveEjector.h"

namespace drive {

struct DriveScan;

// Ejects a volume of an attached Tessaline drive: the one named (its
// title as `tessaline drives` shows it, its label, its mount point or its
// device), or with `name` empty the one the drive popup preselects. A
// name that matches no volume is said with the volumes there are, and
// nothing is ejected (unmounted stays false).
drive::EjectOutcome ejectTessalineVolume(const DriveScan& scan, const std::string& name,
                                         drive::DriveEjector& ejector);

class UdisksEjector : public drive::DriveEjector {
 public:
  // `busAddress`: a D-Bus address ("unix:path=..."); empty: the
  // configuration's system bus, else the usual system bus socket.
  explicit UdisksEjector(std::string busAddress = "");

  drive::EjectOutcome eject(const std::string& device, const std::string& mountPoint) override;

  // udisks2's object path of a kernel block device: characters other
  // than letters and digits escaped as "_" and two hex digits.
  static std::string blockObjectPath(const std::string& device);

 private:
  std::string address_;
};

}  // namespace drive
