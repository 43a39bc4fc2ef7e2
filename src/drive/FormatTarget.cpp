#include "drive/FormatTarget.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "base/Text.h"
#include "drive/LinuxDiskInfo.h"
#include "fs/DestinationRoot.h"

namespace drive {
namespace {

namespace stdfs = std::filesystem;

const std::set<std::string> kSystemPaths = {"/", "/usr", "/boot", "/boot/efi", "/home", "/var"};

std::string firstLine(const stdfs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n')) line.pop_back();
  size_t start = line.find_first_not_of(' ');
  return start == std::string::npos ? "" : line.substr(start);
}

// The whole disks a block device (its sysfs folder) stands on: its own
// disk for a partition, the disks of its slaves for a stacked device.
void baseDisks(const stdfs::path& sys, const stdfs::path& device, std::set<std::string>& out,
               int depth = 0) {
  std::error_code ec;
  stdfs::path real = stdfs::canonical(device, ec);
  if (ec || depth > 8) return;
  if (stdfs::exists(real / "partition", ec)) {
    out.insert(real.parent_path().filename());
    return;
  }
  bool stacked = false;
  for (const auto& slave : stdfs::directory_iterator(real / "slaves", ec)) {
    stacked = true;
    baseDisks(sys, sys / "class/block" / slave.path().filename(), out, depth + 1);
  }
  if (!stacked) out.insert(real.filename());
}

std::string blockName(const stdfs::path& sys, const std::string& majorMinor) {
  std::error_code ec;
  stdfs::path real = stdfs::canonical(sys / "dev/block" / majorMinor, ec);
  return ec ? "" : real.filename().string();
}

// Processes with a file or their working folder below `mountPoint`.
std::vector<std::string> holdersOf(const stdfs::path& proc, const std::string& mountPoint,
                                   bool live) {
  std::vector<std::string> holders;
  std::error_code ec;
  auto below = [&](const std::string& target) {
    return target == mountPoint || target.rfind(mountPoint + "/", 0) == 0;
  };
  for (const auto& entry : stdfs::directory_iterator(proc, ec)) {
    std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (live && pid == std::to_string(getpid())) continue;
    bool holds = false;
    std::error_code e2;
    stdfs::path cwd = stdfs::read_symlink(entry.path() / "cwd", e2);
    holds = !e2 && below(cwd.string());
    for (const auto& fd : stdfs::directory_iterator(entry.path() / "fd", e2)) {
      if (holds) break;
      std::error_code e3;
      stdfs::path target = stdfs::read_symlink(fd.path(), e3);
      holds = !e3 && below(target.string());
    }
    if (holds) {
      std::string name = firstLine(entry.path() / "comm");
      holders.push_back((name.empty() ? "a process" : name) + " (pid " + pid + ")");
    }
  }
  return holders;
}

std::string groupedCount(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// Gigabytes as a drive's owner reads them off the desktop: binary units,
// with one decimal for a drive's size and for small amounts.
std::string gigabytes(int64_t bytes, bool decimal) {
  double gb = static_cast<double>(bytes) / (1 << 30);
  char text[32];
  std::snprintf(text, sizeof text, decimal || gb < 10 ? "%.1f GB" : "%.0f GB", gb);
  return text;
}

}  // namespace

std::string FormatTarget::confirmationName() const {
  for (const auto& v : volumes)
    if (!v.label.empty()) return v.label;
  return disk;
}

std::string FormatTarget::question() const {
  std::string names;
  uint64_t files = 0;
  int64_t used = 0;
  for (const auto& v : volumes) {
    if (!v.label.empty()) names += (names.empty() ? "" : " and ") + v.label;
    files += v.files;
    used += v.usedBytes;
  }
  if (names.empty()) names = "/dev/" + disk;
  std::string about = (model.empty() ? "" : model + ", ") + gigabytes(sizeBytes, true);
  if (files > 0) about += ", " + groupedCount(files) + (files == 1 ? " file" : " files");
  if (used > 0) about += ", " + gigabytes(used, false) + " used";
  return "Erase " + names + " (" + about + ")?";
}

base::Result<FormatTarget> readFormatTarget(const HardwarePaths& paths, const std::string& disk,
                                            bool productDrive, const std::string& fakeMounts) {
  std::error_code ec;
  const stdfs::path diskDir = paths.sys / "block" / disk;
  if (disk.empty() || disk.find('/') != std::string::npos || disk[0] == '.' ||
      !stdfs::exists(diskDir / "dev", ec))
    return base::Status::usage("No disk is named \"" + disk + "\" on this machine (see lsblk).");
  FormatTarget t;
  t.disk = disk;
  t.productDrive = productDrive;
  std::string vendor = firstLine(diskDir / "device/vendor");
  t.model = firstLine(diskDir / "device/model");
  if (vendor == "ATA" || vendor.empty()) vendor.clear();
  if (!vendor.empty()) t.model = vendor + " " + t.model;
  std::string sectors = firstLine(diskDir / "size");
  t.sizeBytes = sectors.empty() ? 0 : std::stoll(sectors) * 512;
  // Removable media, or a drive on a bus it can be unplugged from (USB,
  // Thunderbolt: the kernel marks such a device "removable").
  stdfs::path real = stdfs::canonical(diskDir, ec);
  t.removable =
      firstLine(diskDir / "removable") == "1" || real.string().find("/usb") != std::string::npos;
  for (stdfs::path p = real; !t.removable && p.has_relative_path() && p != paths.sys;
       p = p.parent_path())
    t.removable = firstLine(p / "removable") == "removable";

  // The mounts standing on this disk.
  std::ifstream mountinfo(paths.proc / "self/mountinfo");
  std::set<std::string> seenDevices;
  std::vector<std::pair<std::string, std::string>> mounts;  // device, mount point
  for (std::string line; std::getline(mountinfo, line);) {
    std::istringstream fields(line);
    std::string id, parent, majorMinor, root, mountPoint;
    if (!(fields >> id >> parent >> majorMinor >> root >> mountPoint)) continue;
    std::string device = blockName(paths.sys, majorMinor);
    if (device.empty()) continue;
    std::set<std::string> disks;
    baseDisks(paths.sys, paths.sys / "class/block" / device, disks);
    if (!disks.count(disk)) continue;
    mountPoint = base::text::unescapeOctal(mountPoint);
    if (kSystemPaths.count(mountPoint)) t.systemPaths.push_back(mountPoint);
    mounts.emplace_back(device, mountPoint);
  }
  std::ifstream swaps(paths.proc / "swaps");
  std::string line;
  std::getline(swaps, line);  // the heading
  while (std::getline(swaps, line)) {
    std::string node = line.substr(0, line.find_first_of(" \t"));
    if (node.rfind("/dev/", 0) != 0) continue;
    stdfs::path name =
        paths.fake ? stdfs::path(node).filename() : stdfs::canonical(node, ec).filename();
    std::set<std::string> disks;
    baseDisks(paths.sys, paths.sys / "class/block" / name, disks);
    if (disks.count(disk)) t.systemPaths.push_back("swap");
  }

  // Its volumes: the mounted ones first, then partitions not mounted.
  LinuxDiskInfo info(paths.root.string());
  auto addVolume = [&](const std::string& device, const std::string& mountPoint) {
    if (!seenDevices.insert(device).second) return;
    FormatVolume v;
    v.device = device;
    v.mountPoint = mountPoint;
    if (auto facts = info.info(device); facts.ok()) {
      v.label = facts->volumeName.value_or("");
      if (!mountPoint.empty() && facts->totalSize > 0)
        v.usedBytes = facts->totalSize - facts->freeSpace;
    }
    if (!mountPoint.empty()) {
      std::string folder = fakeMounts.empty() ? mountPoint : fakeMounts + mountPoint;
      if (v.label.empty()) v.label = stdfs::path(mountPoint).filename();
      v.holders = holdersOf(paths.proc, mountPoint, !paths.fake);
      std::error_code walk;
      for (stdfs::recursive_directory_iterator
               it(folder, stdfs::directory_options::skip_permission_denied, walk),
           end;
           !walk && it != end; it.increment(walk)) {
        if (it->is_regular_file(walk) && !it->is_symlink(walk)) ++v.files;
      }
      // Another process exporting there holds the export lock; only
      // looked at where one was ever taken, so that nothing is written.
      if (stdfs::exists(stdfs::path(folder) / ".tessaline/lock", ec)) {
        if (auto root = fs::DestinationRoot::open(folder)) {
          std::string holder;
          if (root->lock(&holder) == EWOULDBLOCK)
            v.lockHolder = holder.empty() ? "another process" : "pid " + holder;
        }
      }
    }
    t.volumes.push_back(std::move(v));
  };
  for (const auto& [device, mountPoint] : mounts) addVolume(device, mountPoint);
  bool partitioned = false;
  for (const auto& entry : stdfs::directory_iterator(diskDir, ec)) {
    if (!stdfs::exists(entry.path() / "partition", ec)) continue;
    partitioned = true;
    addVolume(entry.path().filename(), "");
  }
  if (!partitioned && t.volumes.empty()) {
    if (auto facts = info.info(disk); facts.ok() && facts->volumeName) addVolume(disk, "");
  }
  return t;
}

std::string diskOf(const HardwarePaths& paths, const std::string& device) {
  if (device.empty() || device.find('/') != std::string::npos || device[0] == '.') return "";
  std::error_code ec;
  stdfs::path real = stdfs::canonical(paths.sys / "class/block" / device, ec);
  if (ec) return "";
  return stdfs::exists(real / "partition", ec) ? real.parent_path().filename().string()
                                               : real.filename().string();
}

base::Status formatRefusal(const FormatTarget& t, bool anyDrive) {
  const std::string dev = "/dev/" + t.disk;
  if (!t.systemPaths.empty()) {
    std::string held;
    for (const auto& p : t.systemPaths) held += (held.empty() ? "" : ", ") + p;
    return base::Status::usage(dev + " holds this computer's system (" + held +
                               "): it is never erased.");
  }
  if (!t.removable)
    return base::Status::usage(dev + (t.model.empty() ? "" : " (" + t.model + ")") +
                               " is not a removable drive: only a drive that can be unplugged "
                               "is erased here.");
  if (!t.productDrive && !anyDrive)
    return base::Status::usage(dev + (t.model.empty() ? "" : " (" + t.model + ")") +
                               " is not a Tessaline drive: add --any-drive to erase another "
                               "removable drive.");
  for (const auto& v : t.volumes) {
    std::string name = "/dev/" + v.device + (v.label.empty() ? "" : " (" + v.label + ")");
    if (!v.holders.empty()) {
      std::string who;
      for (const auto& h : v.holders) who += (who.empty() ? "" : ", ") + h;
      return base::Status::of(base::Status::Kind::kBusy,
                              name + " is busy: " + who + " has files open on it at " +
                                  v.mountPoint + ". Close them, then format again.");
    }
    if (!v.lockHolder.empty())
      return base::Status::of(base::Status::Kind::kBusy,
                              name + " is being exported to by " + v.lockHolder +
                                  ": wait until that export ends, then format again.");
  }
  return base::Status();
}

}  // namespace drive
