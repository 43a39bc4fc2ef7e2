#include "cli/DockTileCommand.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <memory>

namespace app {

namespace {

// Accepts a file path whose folder exists and that is not itself a folder.
std::string checkTilePath(std::string& path) {
  std::filesystem::path p(path);
  std::filesystem::path folder = p.has_parent_path() ? p.parent_path() : ".";
  std::error_code ec;
  if (path.empty() || !p.has_filename()) return "not a file name: " + path;
  if (std::filesystem::is_directory(p, ec)) return "is a folder: " + path;
  if (!std::filesystem::is_directory(folder, ec)) {
    return "folder does not exist: " + folder.string();
  }
  return {};
}

}  // namespace

void registerDockTileCommand(CLI::App& cli, const DrawingCommands& drawing) {
  cli.add_option_function<std::string>("--dock-tile", drawing.writeDockTileTo,
                                       "Write the application's dock tile to this PNG file "
                                       "whenever it changes")
      ->type_name("FILE")
      ->check(CLI::Validator(checkTilePath, ""));

  auto options = std::make_shared<TileOptions>();
  CLI::App* sub =
      cli.add_subcommand("dock-tile", "Draw the dock tile's progress bar into a PNG file");
  sub->add_option("-o,--output", options->output, "The PNG file to write")
      ->required()
      ->type_name("FILE")
      ->check(CLI::Validator(checkTilePath, ""));
  sub->add_option("--min", options->min, "Value of an empty bar")->capture_default_str();
  sub->add_option("--max", options->max, "Value of a full bar")->capture_default_str();
  sub->add_option("--value", options->value, "Value shown")->capture_default_str();
  sub->add_flag("--hidden", options->hidden, "Write the standard application icon instead");
  sub->callback([options, draw = drawing.drawDockTile] { draw(*options); });
}

}  // namespace app
