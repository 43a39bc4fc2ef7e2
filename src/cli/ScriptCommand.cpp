#include "cli/ScriptCommand.h"

#include <CLI/CLI.hpp>

namespace app {

void registerScriptCommand(CLI::App& cli, const DrawingCommands& drawing) {
  auto* cmd = cli.add_subcommand("script",
                                 "Serve the exporter's entry points to a script: JSON-RPC 2.0 on "
                                 "standard input and output, one message "
                                 "per line. Methods are named as \"+[CTrackList "
                                 "netCopyTotalUniqueIDs:]\" (arguments in order) or "
                                 "\"-[CTrackList uncopiedTotal]\" (the receiver handle first).");
  cmd->callback([serve = drawing.serveScript] {
    int status = serve();
    if (status != 0) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
