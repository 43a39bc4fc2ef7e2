// `tessaline gui`: the exporter's window (Qt Widgets). With --screenshot
// it writes a picture of the window once the library is loaded, then
// quits (for documentation; run it under a virtual X server when there
// is no desktop).
//
// Exit status: 0, or 2 when the window system cannot be reached.
// Thread: the main thread runs the window's event loop.
#pragma once

#include "cli/DrawingCommands.h"

namespace CLI {
class App;
}

namespace app {

// What it runs comes from `drawing` (cli/DrawingCommands.h).
void registerGuiCommand(CLI::App& cli, const DrawingCommands& drawing);

}  // namespace app
