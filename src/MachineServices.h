// The services of this machine, as both mains hand them to the commands
// and the window: the POSIX file manager, the drives udisks2 and sysfs
// report (or the fake machine the configuration names).
// Thread: made on the main thread; the services are the session's to call.
#pragma once

#include <string>

#include "base/Configuration.h"
#include "session/ExportSession.h"

namespace app {

// The file manager and the drive volume choice; the progress sink is the
// drawing program's to add (DockTileProgress.h).
Services machineServices();

// The configuration with the command line's global --fake-hardware DIR
// (before the command) applied: the machine the drive layer reads.
base::Configuration hardwareOption(base::Configuration config, int argc, char** argv);

// The folder of the Tessaline volume titled `title` (empty: the remembered
// or first usable one), kUsage when it is not attached, cannot be used or
// is not mounted.
base::Result<std::string> driveVolumeFolder(const base::Configuration& config,
                                            const std::string& title, std::string* uuid);

}  // namespace app
