#include "app/GuiCommand.h"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QTimer>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "app/CommandLine.h"
#include "app/ExportCommand.h"
#include "app/MainWindow.h"
#include "platform/Configuration.h"

namespace app {
namespace {

struct GuiOptions {
  WindowOptions window;
  std::string screenshot;
};

int runGui(const GuiOptions& options) {
  // Qt would abort without a display; say why instead.
  if (!platform::configuration()->display) {
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
  MainWindow window(options.window);
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

void registerGuiCommand(CLI::App& cli) {
  auto options = std::make_shared<GuiOptions>();
  CLI::App* sub = cli.add_subcommand("gui", "Open the exporter's window");
  sub->add_option("--library", options->window.library,
                  "The library export (XML); default: the remembered one")
      ->type_name("FILE");
  sub->add_option("--to", options->window.to, "Offer this folder as the destination, chosen first")
      ->type_name("DIR");
  sub->add_option("--screenshot", options->screenshot,
                  "Write a picture of the loaded window here, then quit")
      ->type_name("PNG");
  sub->callback([options] {
    int status = runGui(*options);
    if (status != 0) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
