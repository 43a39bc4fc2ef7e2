// The tessaline executable, and the one place that reads the process's
// environment (every layer below gets it as a base::Configuration) and
// makes the services the commands reach the machine through.
// It holds no drawing code and does not load Qt: a command line that
// draws is handed whole to tessaline-qt beside it (cli/HandOver.h).
#include "MachineServices.h"
#include "base/Configuration.h"
#include "cli/CommandLine.h"
#include "cli/HandOver.h"
#include "compat/shell/ApplicationMain.h"

int main(int argc, char** argv, char** envp) {
  base::setConfiguration(
      app::hardwareOption(base::Configuration::fromEnvironment(envp), argc, argv));
  app::DrawingCommands handedOver =
      app::drawingCommandsHandedOver([&] { return app::handOverToDrawingProgram(argv, envp); });
  const app::Services services = app::machineServices();
  return shell::ApplicationMain(argc, argv, [&](int n, char** args) {
    return app::runCommandLine(n, args, handedOver, services);
  });
}
