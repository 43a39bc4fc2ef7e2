#include "cli/DiskutilCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

#include "cli/CommandLine.h"
#include "drive/FileSystemBundleSource.h"
#include "drive/LinuxDiskInfo.h"
#include "drive/PropertyList.h"

namespace app {
namespace {

void line(std::ostream& out, const std::string& key, const std::string& value) {
  std::string label = "   " + key + ":";
  if (label.size() < 30) label.resize(30, ' ');
  out << label << " " << value << "\n";
}

}  // namespace

std::string diskutilSizeText(int64_t bytes) {
  static const char* kUnits[] = {"KB", "MB", "GB", "TB"};
  char number[64];
  if (bytes < 1024) {
    std::snprintf(number, sizeof number, "%lld B", static_cast<long long>(bytes));
  } else {
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 3) {
      value /= 1024;
      ++unit;
    }
    // Rounded down to the tenth, so that reading the text back never
    // claims more than there is.
    double tenths = static_cast<double>(static_cast<int64_t>(value * 10)) / 10;
    std::snprintf(number, sizeof number, "%.1f %s", tenths, kUnits[unit]);
  }
  return std::string(number) + " (" + std::to_string(bytes) + " Bytes) (exactly " +
         std::to_string(bytes / 512) + " 512-Byte-Units)";
}

int runDiskutilInfo(const std::string& device, bool plist, const std::string& root,
                    std::ostream& out, std::ostream& err) {
  auto info = drive::LinuxDiskInfo(root).info(device);
  if (!info) {
    err << info.status().message() << "\n";
    return 1;
  }
  if (plist) {
    using PL = drive::PropertyList;
    PL::Dict d;
    d.emplace_back("Content", PL::string(info->content));
    d.emplace_back("DeviceIdentifier", PL::string(info->deviceIdentifier));
    d.emplace_back("DeviceNode", PL::string(info->deviceNode));
    if (info->personality) d.emplace_back("FilesystemName", PL::string(*info->personality));
    if (info->fsType) d.emplace_back("FilesystemType", PL::string(*info->fsType));
    d.emplace_back("FreeSpace", PL::integer(info->freeSpace));
    d.emplace_back("MountPoint", PL::string(info->mountPoint.value_or("")));
    d.emplace_back("TotalSize", PL::integer(info->totalSize));
    if (info->clusterSize)
      d.emplace_back("VolumeAllocationBlockSize", PL::integer(*info->clusterSize));
    d.emplace_back("VolumeName", PL::string(info->volumeName.value_or("")));
    if (info->uuid) d.emplace_back("VolumeUUID", PL::string(*info->uuid));
    d.emplace_back("WholeDisk", PL::boolean(info->wholeDisk));
    d.emplace_back("Writable", PL::boolean(info->writable));
    out << PL::dict(std::move(d)).toXml();
    return 0;
  }
  line(out, "Device Identifier", info->deviceIdentifier);
  line(out, "Device Node", info->deviceNode);
  line(out, "Whole", info->wholeDisk ? "Yes" : "No");
  out << "\n";
  line(out, "Volume Name", info->volumeName.value_or(""));
  if (info->uuid) line(out, "Volume UUID", *info->uuid);
  line(out, "Mounted", info->mountPoint ? "Yes" : "No");
  if (info->mountPoint) line(out, "Mount Point", *info->mountPoint);
  out << "\n";
  line(out, "Partition Type", info->content);
  line(out, "File System Personality", info->personality.value_or("None"));
  if (info->fsType) line(out, "Type (Bundle)", *info->fsType);
  out << "\n";
  line(out, "Total Size", diskutilSizeText(info->totalSize));
  line(out, "Volume Free Space", diskutilSizeText(info->freeSpace));
  if (info->clusterSize)
    line(out, "Allocation Block Size", std::to_string(*info->clusterSize) + " Bytes");
  out << "\n";
  line(out, "Read-Only Volume",
       info->mountPoint ? (info->writable ? "No" : "Yes") : "Not applicable (not mounted)");
  return 0;
}

void registerDiskutilCommand(CLI::App& cli) {
  auto* diskutil = cli.add_subcommand("diskutil", "Reports on this machine's disks.");
  diskutil->require_subcommand(1);
  auto* info = diskutil->add_subcommand("info", "Describes one volume: info [-plist] DEVICE");
  struct Options {
    bool plist = false;
    std::string device;
  };
  auto options = std::make_shared<Options>();
  info->add_flag("--plist", options->plist, "Print a property list (also -plist)");
  info->add_option("device", options->device, "Device name (sdb1) or node (/dev/sdb1)")->required();
  info->allow_extras();
  info->callback([info, options] {
    bool plist = options->plist;
    for (const std::string& extra : info->remaining()) {
      if (extra != "-plist") throw CLI::ExtrasError({extra});
      plist = true;
    }
    std::cout.flush();
    int status = runDiskutilInfo(
        options->device, plist, drive::FileSystemBundleSource::machineRoot(), std::cout, std::cerr);
    std::cout.flush();
    if (status != 0) throw CLI::RuntimeError(status);
  });
}

}  // namespace app
