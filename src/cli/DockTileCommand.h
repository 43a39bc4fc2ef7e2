// The dock tile on the command line, where there is no dock:
//   tessaline --dock-tile FILE COMMAND ...
//       every change of the application's tile during COMMAND (a copy
//       run's progress bar) is written to FILE as a PNG image;
//   tessaline dock-tile --max 100 --value 40 -o FILE
//       draws the progress tile for those values once, into FILE.
//
// Thread: main thread only.
// Errors: a FILE in a folder that does not exist, or that is a folder,
// is a usage error (exit status 2); a failed write is logged.
#pragma once

#include "cli/DrawingCommands.h"

namespace CLI {
class App;
}

namespace app {

// What it runs comes from `drawing` (cli/DrawingCommands.h).
void registerDockTileCommand(CLI::App& cli, const DrawingCommands& drawing);

}  // namespace app
