// The services of this machine, as both mains hand them to the commands
// and the window: the POSIX file manager, the drives udisks2 and sysfs
// report (or the fake machine the configuration names), and the dock tile.
// Thread: made on the main thread; the services are the session's to call.
#pragma once

#include <string>

#include "platform/Configuration.h"
#include "session/ExportSession.h"

namespace app {

// With `drawsTile`, the copy draws its progress on the dock tile when it
// runs on the main thread (the command line); a window draws its own.
Services machineServices(bool drawsTile);

// The folder of the Tessaline volume titled `title` (empty: the remembered
// or first usable one), kUsage when it is not attached, cannot be used or
// is not mounted.
Outcome<std::string> driveVolumeFolder(const platform::Configuration& config,
                                       const std::string& title, std::string* uuid);

}  // namespace app
