// Where the drive layer reads the machine's hardware: the live system, or
// a fake hardware tree named by the configuration (its fakeHardware,
// from TESSALINE_FAKE_HARDWARE or the --fake-hardware option; tests,
// demos).
//
//   what                 live system            fake tree DIR
//   sysfs                /sys                   DIR/sys
//   proc (mountinfo)     /proc                  DIR/proc
//   device nodes, labels /dev                   DIR/dev
//   SMART log pages      SG_IO on /dev/<disk>   files DIR/smart/<disk>/log-NN
//
// Thread: any thread.
#pragma once

#include <filesystem>
#include <string>

namespace drive {

struct HardwarePaths {
  static constexpr const char* kFakeHardwareVariable = "TESSALINE_FAKE_HARDWARE";

  std::filesystem::path root;  // "/" or the fake tree
  bool fake = false;
  std::filesystem::path sys, proc, dev, smartPages;

  // The paths of a fake tree at `dir`.
  static HardwarePaths fakeTree(const std::filesystem::path& dir);
  static HardwarePaths liveSystem();
  // The configured fake tree when there is one, else the live system.
  static HardwarePaths current();
};

}  // namespace drive
