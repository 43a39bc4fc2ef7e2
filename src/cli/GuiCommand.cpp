#include "cli/GuiCommand.h"

#include <CLI/CLI.hpp>
#include <memory>

#include "cli/CommandLine.h"

namespace app {

void registerGuiCommand(CLI::App& cli, const DrawingCommands& drawing) {
  auto options = std::make_shared<GuiOptions>();
  CLI::App* sub = cli.add_subcommand("gui", "Open the exporter's window");
  addLibraryOption(*sub, options->library, "The library export (XML); default: the remembered one");
  addToOption(*sub, options->to, "Offer this folder as the destination, chosen first");
  sub->add_option("--screenshot", options->screenshot,
                  "Write a picture of the loaded window here, then quit")
      ->type_name("PNG");
  sub->callback([options, open = drawing.openWindow] {
    int status = open(*options);
    if (status != 0) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
