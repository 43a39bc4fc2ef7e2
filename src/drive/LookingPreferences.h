// Which drive volume is remembered for the next export: looking at the
// drives (`tessaline drives`, a fake machine's scan) never stores one;
// choosing one does.
//
// Thread: main thread only (they change the process's drive services).
// Errors: none reported; a preference that cannot be stored is simply
// not remembered.
#pragma once

#include <string>

namespace drive {

// From here on, drive scans read the remembered volume but what they
// would store when none is remembered stays in memory.
void onlyLookAtDrivePreference();
// The user chose this volume: it is preselected from now on.
void rememberDriveVolume(const std::string& name);

}  // namespace drive
