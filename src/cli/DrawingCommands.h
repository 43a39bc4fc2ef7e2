// The commands whose work draws or may draw: the window (`gui`), the dock
// tile (`dock-tile`, and `--dock-tile FILE` before any command) and the
// script bridge (`script`, whose entry points include drawing ones).
//
// Both programs declare them in the same command table (same options,
// same help, same usage errors); what they run is chosen by each
// program's main:
//   - `tessaline-qt` runs them in its own process
//     (drawingCommandsInProcess, which is where Qt comes in);
//   - `tessaline`, built without Qt so that the commands that never draw
//     start lean, hands the whole command line over to `tessaline-qt`
//     instead (cli/HandOver.h), which parses it anew.
//
// Thread: main thread only.
// Errors: openWindow and serveScript answer the command's exit status; the
// dock tile's are those of compat/drawing/HeadlessDockTile.h.
#pragma once

#include <functional>
#include <string>

namespace app {

struct TileOptions {
  std::string output;
  double min = 0;
  double max = 100;
  double value = 0;
  bool hidden = false;
};

struct GuiOptions {
  std::string library;  // empty: the remembered one
  std::string to;
  std::string screenshot;
};

struct DrawingCommands {
  std::function<void(const std::string& file)> writeDockTileTo;  // --dock-tile FILE
  std::function<void(const TileOptions&)> drawDockTile;          // dock-tile
  std::function<int()> serveScript;                              // script
  std::function<int(const GuiOptions&)> openWindow;              // gui
};

// Draws here: the window and the script bridge in this process. Defined
// beside tessaline-qt's main (DrawingCommandsInProcess.cpp, the library
// tessaline_drawing), which links Qt Widgets, Gui and DBus.
DrawingCommands drawingCommandsInProcess();

}  // namespace app
