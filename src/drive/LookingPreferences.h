// Which drive volume is remembered for the next export: looking at the
// drives (`tessaline drives`, a fake machine's scan) never stores one;
// choosing one does.
//
// Thread: while no other thread uses the bundle it changes.
// Errors: none reported; a preference that cannot be stored is simply
// not remembered.
#pragma once

#include <string>

namespace drive {

struct DriveServices;

// From here on, drive scans read the remembered volume but what they
// would store when none is remembered stays in memory.
void onlyLookAtDrivePreference(DriveServices& services);
// The user chose this volume: it is preselected from now on.
void rememberDriveVolume(const std::string& name);

}  // namespace drive
