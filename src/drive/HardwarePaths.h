// Where the drive layer reads the machine's hardware: the live system, or
// a fake hardware tree named by the environment variable
// TESSALINE_FAKE_HARDWARE (tests, demos, the --fake-hardware option).
//
//   what                 live system            fake tree DIR
//   sysfs                /sys                   DIR/sys
//   proc (mountinfo)     /proc                  DIR/proc
//   device nodes, labels /dev                   DIR/dev
//   SMART log pages      SG_IO on /dev/<disk>   files DIR/smart/<disk>/log-NN
//
// Thread: reads the environment; call from the main thread.
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
  // The fake tree of TESSALINE_FAKE_HARDWARE when set and not empty,
  // else the live system.
  static HardwarePaths current();
};

}  // namespace drive
