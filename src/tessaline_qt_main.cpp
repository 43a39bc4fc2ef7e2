// The tessaline-qt executable: every command, the drawing ones included,
// runs in this process. Like tessaline's main, the one place that reads
// the process's environment.
#include "DockTileProgress.h"
#include "MachineServices.h"
#include "base/Configuration.h"
#include "cli/CommandLine.h"
#include "compat/shell/ApplicationMain.h"
#include "compat/ui/ZtDockProgressIndicator.h"

int main(int argc, char** argv, char** envp) {
  base::setConfiguration(
      app::hardwareOption(base::Configuration::fromEnvironment(envp), argc, argv));
  // The copy runs' progress goes to the dock tile, wherever that is shown.
  ui::ZtDockProgressIndicator::installAsDockProgressFactory();
  app::DrawingCommands inProcess = app::drawingCommandsInProcess();
  app::Services services = app::machineServices();
  services.progressSink = app::dockTileProgress();
  return shell::ApplicationMain(argc, argv, [&](int n, char** args) {
    return app::runCommandLine(n, args, inProcess, services);
  });
}
