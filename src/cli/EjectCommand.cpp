#include "cli/EjectCommand.h"

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "cli/CommandLine.h"
#include "drive/DriveScanner.h"
#include "drive/LookingPreferences.h"
#include "drive/UdisksEjector.h"
#include "session/ExportSession.h"

namespace app {

void registerEjectCommand(CLI::App& cli, const Services& services) {
  auto name = std::make_shared<std::string>();
  CLI::App* sub = cli.add_subcommand(
      "eject", "Flush, unmount and power off a Tessaline drive so that it can be unplugged");
  sub->add_option("DRIVE", *name,
                  "The volume's title (see tessaline drives), mount point or device; default: "
                  "the preselected volume");
  sub->callback([name, drives = services.drives] {
    drive::onlyLookAtDrivePreference(drives());
    drive::DriveScan scan = drive::DriveScanner(drives()).scan();
    drive::UdisksEjector ejector;
    drive::EjectOutcome out = drive::ejectTessalineVolume(scan, *name, ejector);
    if (out.poweredOff) {
      std::cout << out.message << "\n";
      return;
    }
    std::cerr << "tessaline eject: " << out.message << "\n";
    throw CLI::RuntimeError(out.found ? kExitPartial : kExitUsage);
  });
}

}  // namespace app
