#include "app/CommandLine.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "app/DockTileCommand.h"
#include "app/ExportCommand.h"
#include "app/DiskutilCommand.h"
#include "app/ScriptCommand.h"
#include "app/DrivesCommand.h"
#include "app/GuiCommand.h"

namespace app {

int runCommandLine(int argc, char** argv) {
  CLI::App cli{"Tessaline Exporter: copies iTunes playlists and their media files onto a Tessaline drive.",
               "tessaline"};
  cli.set_version_flag("--version", std::string("tessaline ") + TESSALINE_VERSION);
  cli.require_subcommand(0, 1);
  cli.footer("Run `tessaline COMMAND --help` for the options of a command.");
  registerExportCommand(cli);
  registerDiskutilCommand(cli);
  registerDockTileCommand(cli);
  registerScriptCommand(cli);
  registerDrivesCommand(cli);
  registerGuiCommand(cli);

  try {
    cli.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    // A command's own exit status, its message already shown.
    return e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    int status = cli.exit(e);
    return status == 0 ? kExitOk : kExitUsage;
  }
  if (cli.get_subcommands().empty()) {
    std::cout << cli.help();
    return kExitOk;
  }
  return kExitOk;
}

}  // namespace app
