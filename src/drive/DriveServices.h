// The platform services the drive scan works through, bundled: device
// registry, SMART log reader, volume table, preferences and volume
// inspector. forPaths() builds the Linux backends for the live system or
// a fake tree; tests build bundles of their own.
//
// shared() is the bundle the scanner's and the finder's default
// constructors and class operations use; it is built from HardwarePaths::current() on first
// use, and setShared() replaces it (tests, the command line).
//
// Ownership: a bundle owns its services.
// Thread: shared() may be called from any thread (the window's worker
// chooses a volume with it); setShared() only while no other thread uses
// the bundle. Each service's own header says what it allows.
#pragma once

#include <memory>

#include "drive/DeviceRegistry.h"
#include "drive/HardwarePaths.h"
#include "drive/Preferences.h"
#include "drive/SmartLogReader.h"
#include "drive/VolumeExaminer.h"
#include "drive/VolumeTable.h"

namespace drive {

struct DriveServices {
  std::unique_ptr<DeviceRegistry> registry;
  std::unique_ptr<SmartLogReader> smart;
  std::unique_ptr<VolumeTable> volumes;
  std::unique_ptr<Preferences> preferences;
  std::unique_ptr<VolumeExaminer> inspector;

  static std::unique_ptr<DriveServices> forPaths(const HardwarePaths& paths);

  static DriveServices& shared();
  static void setShared(std::unique_ptr<DriveServices> services);
};

}  // namespace drive
