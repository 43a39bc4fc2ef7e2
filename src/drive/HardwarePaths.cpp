#include "drive/HardwarePaths.h"

#include "base/Configuration.h"

namespace drive {

HardwarePaths HardwarePaths::fakeTree(const std::filesystem::path& dir) {
  HardwarePaths p;
  p.root = dir;
  p.fake = true;
  p.sys = dir / "sys";
  p.proc = dir / "proc";
  p.dev = dir / "dev";
  p.smartPages = dir / "smart";
  return p;
}

HardwarePaths HardwarePaths::liveSystem() {
  HardwarePaths p;
  p.root = "/";
  p.sys = "/sys";
  p.proc = "/proc";
  p.dev = "/dev";
  return p;
}

HardwarePaths HardwarePaths::current() {
  auto config = base::configuration();
  if (!config->fakeHardware.empty()) return fakeTree(config->fakeHardware);
  return liveSystem();
}

}  // namespace drive
