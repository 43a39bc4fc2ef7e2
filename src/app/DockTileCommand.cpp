#include "app/DockTileCommand.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>

#include "app/CommandLine.h"
#include "platform/HeadlessDockTile.h"
#include "ui/ZtDockProgressIndicator.h"

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

void installTile(const std::string& path) {
  platform::DockTile::setShared(std::make_shared<platform::HeadlessDockTile>(path));
}

struct TileOptions {
  std::string output;
  double min = 0;
  double max = 100;
  double value = 0;
  bool hidden = false;
};

}  // namespace

void registerDockTileCommand(CLI::App& cli) {
  // The copy runs' progress goes to the dock tile, wherever that is shown.
  ui::ZtDockProgressIndicator::installAsDockProgressFactory();

  cli.add_option_function<std::string>("--dock-tile", installTile,
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
  sub->callback([options] {
    auto tile = std::make_shared<platform::HeadlessDockTile>(options->output);
    ui::ZtDockProgressIndicator indicator(tile);
    if (options->hidden) {
      indicator.setHidden(true);
    } else {
      // One tile, as the last of a run of setters would draw it.
      indicator.setMinValue(options->min);
      indicator.setMaxValue(options->max);
      indicator.setDoubleValue(options->value);
    }
    std::cout << options->output << "\n";
  });
}

}  // namespace app
