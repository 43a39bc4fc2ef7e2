// The tessaline-qt executable: every command, the drawing ones included,
// runs in this process. Like tessaline's main, the one place that reads
// the process's environment.
#include "MachineServices.h"
#include "cli/CommandLine.h"
#include "platform/Configuration.h"
#include "shell/ApplicationMain.h"
#include "ui/ZtDockProgressIndicator.h"

int main(int argc, char** argv, char** envp) {
  platform::setConfiguration(platform::Configuration::fromEnvironment(envp));
  // The copy runs' progress goes to the dock tile, wherever that is shown.
  ui::ZtDockProgressIndicator::installAsDockProgressFactory();
  app::DrawingCommands inProcess = app::drawingCommandsInProcess();
  const app::Services services = app::machineServices(true);
  return shell::ApplicationMain(argc, argv, [&](int n, char** args) {
    return app::runCommandLine(n, args, inProcess, services);
  });
}
