// Builds small fake hardware trees (sysfs, mountinfo, labels, SMART pages)
// in a temporary folder, so that the Linux backends run unchanged on them.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace drive_test {

class FakeHardware {
 public:
  std::filesystem::path sys() const { return root / "sys"; }

  void write(const std::string& rel, const std::string& text) const {
    testsupport::writeFile(root / rel, text);
  }
  void link(const std::string& rel, const std::string& target) const {
    std::filesystem::path p = root / rel;
    std::filesystem::create_directories(p.parent_path());
    std::filesystem::create_symlink(target, p);
  }

  // A device directory (one holding "uevent") below sys/devices.
  void addDevice(const std::string& devicePath) const {
    write("sys/devices/" + devicePath + "/uevent", "");
  }

  void addPciDevice(const std::string& devicePath, const std::string& removable,
                    const std::string& subsystemVendor, const std::string& subsystemDevice) const {
    addDevice(devicePath);
    write("sys/devices/" + devicePath + "/vendor", "0x8086\n");
    if (!removable.empty()) write("sys/devices/" + devicePath + "/removable", removable + "\n");
    write("sys/devices/" + devicePath + "/subsystem_vendor", subsystemVendor + "\n");
    write("sys/devices/" + devicePath + "/subsystem_device", subsystemDevice + "\n");
  }

  // A SCSI device (host:channel:target:lun directory) with INQUIRY fields.
  void addScsiDevice(const std::string& devicePath, const std::string& vendor,
                     const std::string& model) const {
    addDevice(devicePath);
    write("sys/devices/" + devicePath + "/vendor", vendor + "\n");
    write("sys/devices/" + devicePath + "/model", model + "\n");
  }

  // A whole disk below `parentPath`, listed in block/, class/block/ and
  // dev/block/, with its partitions (kernel names) numbered from 1.
  void addDisk(const std::string& parentPath, const std::string& disk, int major, int minor,
               const std::vector<std::string>& partitions) const {
    std::string dir = "sys/devices/" + parentPath + "/block/" + disk;
    write(dir + "/uevent", "");
    write(dir + "/dev", std::to_string(major) + ":" + std::to_string(minor) + "\n");
    link(dir + "/device", "../..");  // the device the disk belongs to
    std::string up = "../devices/" + parentPath + "/block/" + disk;
    link("sys/block/" + disk, up);
    link("sys/class/block/" + disk, "../../devices/" + parentPath + "/block/" + disk);
    link("sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor),
         "../../devices/" + parentPath + "/block/" + disk);
    int number = 1;
    for (const std::string& part : partitions) {
      std::string pdir = dir + "/" + part;
      write(pdir + "/uevent", "");
      write(pdir + "/partition", std::to_string(number) + "\n");
      std::string target = "../../devices/" + parentPath + "/block/" + disk + "/" + part;
      link("sys/class/block/" + part, target);
      link("sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor + number), target);
      ++number;
    }
  }

  void mountinfo(const std::vector<std::string>& lines) const {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    write("proc/self/mountinfo", text);
  }

  testsupport::TempDir dir;
  const std::filesystem::path root{dir.path()};
};

}  // namespace drive_test
