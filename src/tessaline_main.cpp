// The tessaline executable, and the one place that reads the process's
// environment: every layer below gets it as a platform::Configuration.
#include "app/CommandLine.h"
#include "platform/Configuration.h"
#include "shell/ApplicationMain.h"

int main(int argc, char** argv, char** envp) {
  platform::setConfiguration(platform::Configuration::fromEnvironment(envp));
  return shell::ApplicationMain(argc, argv, app::runCommandLine);
}
