// `tessaline script`: serves the system's entry points to a script over
// JSON-RPC 2.0 on standard input and output, one message per line (see
// compat/bridge/ScriptBridge.h). Log lines go to standard error as well as the
// system log, so that standard output carries only the protocol.
//
// Exit status: 0 at the end of input (after the background runs the
// script started have finished), 1 when standard input or output fails.
// Thread: main thread.
#pragma once

#include "cli/DrawingCommands.h"

namespace CLI {
class App;
}

namespace app {

// What it runs comes from `drawing` (cli/DrawingCommands.h).
void registerScriptCommand(CLI::App& cli, const DrawingCommands& drawing);

}  // namespace app
