#include "app/ScriptCommand.h"

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "app/ScriptBridge.h"
#include "platform/Log.h"

namespace app {

void registerScriptCommand(CLI::App& cli) {
  auto* cmd = cli.add_subcommand("script",
                                 "Serve the exporter's entry points to a script: JSON-RPC 2.0 on "
                                 "standard input and output, one message "
                                 "per line. Methods are named as \"+[CTrackList "
                                 "netCopyTotalUniqueIDs:]\" (arguments in order) or "
                                 "\"-[CTrackList uncopiedTotal]\" (the receiver handle first).");
  cmd->callback([] {
    platform::setLogStderrMode(platform::StderrMode::kAlways);
    int status = runScriptSession(STDIN_FILENO, STDOUT_FILENO);
    if (status != 0) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
