// The tessaline executable.
#include "app/CommandLine.h"
#include "shell/ApplicationMain.h"

int main(int argc, char** argv) { return shell::ApplicationMain(argc, argv, app::runCommandLine); }
