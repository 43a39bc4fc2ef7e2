// The drive popup on the command line:
//   tessaline [--fake-hardware DIR] drives [--json] [--forget]
// scans for Tessaline drives as the window does when it opens (the drive
// scanner, drive/DriveScanner.h: no process is started) and prints
// the popup as the user would see it: each offered volume with its title,
// whether it can be chosen (and whether it is preselected), its tool tip,
// each drive behind the adapter that could not be identified with the
// reason and the remedy (JSON: "unidentified"), then the explanation of
// why no usable volume is offered. Looking never stores a remembered
// volume; --forget forgets the one `export --drive` remembered.
//
// Thread: main thread only.
// Errors: unreadable hardware simply shows no drive.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace app {

struct Services;

void registerDrivesCommand(CLI::App& cli, const Services& services);

}  // namespace app
