#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <iostream>
#include <memory>

#include "MachineServices.h"
#include "base/Configuration.h"
#include "base/Log.h"
#include "cli/CommandLine.h"
#include "cli/DrawingCommands.h"
#include "compat/bridge/ScriptBridge.h"
#include "compat/drawing/HeadlessDockTile.h"
#include "compat/ui/ZtDockProgressIndicator.h"
#include "gui/MainWindow.h"

namespace app {
namespace {

void writeDockTileTo(const std::string& path) {
  platform::DockTile::setShared(std::make_shared<platform::HeadlessDockTile>(path));
}

void drawDockTile(const TileOptions& options) {
  auto tile = std::make_shared<platform::HeadlessDockTile>(options.output);
  ui::ZtDockProgressIndicator indicator(tile);
  if (options.hidden) {
    indicator.setHidden(true);
  } else {
    // One tile, as the last of a run of setters would draw it.
    indicator.setMinValue(options.min);
    indicator.setMaxValue(options.max);
    indicator.setDoubleValue(options.value);
  }
  std::cout << options.output << "\n";
}

int serveScript() {
  base::setLogStderrMode(base::StderrMode::kAlways);
  return runScriptSession(STDIN_FILENO, STDOUT_FILENO);
}

int openWindow(const GuiOptions& options) {
  // Qt would abort without a display; say why instead.
  if (!base::configuration()->display) {
    std::cerr << "tessaline gui: no display to open the window on (neither DISPLAY nor "
                 "WAYLAND_DISPLAY is set); "
                 "run it on a desktop, or under xvfb-run.\n";
    return kExitUsage;
  }
  static int argc = 1;
  static char name[] = "tessaline";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tessaline Exporter");
  QApplication::setDesktopFileName("tessaline");
  // The window draws its progress itself: no tile for the session.
  MainWindow window({options.library, options.to, machineServices()});
  window.show();
  int status = 0;
  if (!options.screenshot.empty()) {
    auto shoot = [&] {
      // Let the table draw its rows once before the picture.
      QTimer::singleShot(400, &window, [&] {
        if (!window.grab().save(QString::fromStdString(options.screenshot), "PNG")) status = 1;
        QApplication::quit();
      });
    };
    QObject::connect(&window, &MainWindow::loaded, &window, shoot);
    // A window that never loads (no drive, no library) is shown as it is.
    QTimer::singleShot(30000, &window, shoot);
  }
  int ran = QApplication::exec();
  return status != 0 ? status : ran;
}

}  // namespace

DrawingCommands drawingCommandsInProcess() {
  return {writeDockTileTo, drawDockTile, serveScript, openWindow};
}

}  // namespace app
