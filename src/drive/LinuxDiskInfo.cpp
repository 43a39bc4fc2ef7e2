#include "drive/LinuxDiskInfo.h"

#include <blkid/blkid.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <sstream>
#include <vector>

#include "base/Text.h"
#include "base/WholeFile.h"

namespace drive {
namespace {

std::optional<std::string> readText(const std::string& path) {
  auto read = base::readWholeFile(path, base::kSmallFileLimit);
  if (!read) return std::nullopt;
  std::string s = std::move(*read);
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream ss(line);
  for (std::string f; ss >> f;) out.push_back(f);
  return out;
}

bool hasOption(const std::string& options, const std::string& option) {
  std::stringstream ss(options);
  for (std::string o; std::getline(ss, o, ',');) {
    if (o == option) return true;
  }
  return false;
}

struct Mount {
  std::string point, type, options, superOptions;
};

// What libblkid finds on the device (empty values when it cannot read it).
std::map<std::string, std::string> probe(const std::string& path) {
  std::map<std::string, std::string> found;
  blkid_probe pr = blkid_new_probe_from_filename(path.c_str());
  if (pr == nullptr) return found;
  blkid_probe_enable_superblocks(pr, 1);
  blkid_probe_set_superblocks_flags(pr,
                                    BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_LABEL);
  blkid_probe_enable_partitions(pr, 1);
  blkid_probe_set_partitions_flags(pr, BLKID_PARTS_ENTRY_DETAILS);
  if (blkid_do_safeprobe(pr) == 0) {
    for (const char* key : {"TYPE", "VERSION", "LABEL", "UUID", "PART_ENTRY_TYPE", "PTTYPE"}) {
      const char* value = nullptr;
      if (blkid_probe_lookup_value(pr, key, &value, nullptr) == 0 && value) found[key] = value;
    }
  }
  blkid_free_probe(pr);
  return found;
}

}  // namespace

LinuxDiskInfo::LinuxDiskInfo(std::string root) : root_(std::move(root)) {
  if (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string LinuxDiskInfo::under(const std::string& path) const {
  return root_ == "/" ? path : root_ + path;
}

std::optional<std::string> LinuxDiskInfo::personalityFor(const std::string& type,
                                                         const std::string& version) {
  if (type == "vfat" || type == "msdos") {
    if (version == "FAT32") return "MS-DOS FAT32";
    if (version == "FAT16") return "MS-DOS FAT16";
    if (version == "FAT12") return "MS-DOS FAT12";
    return "MS-DOS";
  }
  if (type == "exfat") return "ExFAT";
  if (type == "ntfs" || type == "ntfs3") return "NTFS";
  if (type == "hfsplus") return "HFS+";
  if (type == "hfs") return "HFS";
  if (type.empty()) return std::nullopt;
  return type;
}

std::string LinuxDiskInfo::contentFor(const std::string& partEntryType) {
  static const std::map<std::string, std::string> kTypes = {
      {"0x1", "DOS_FAT_12"},
      {"0x4", "DOS_FAT_16"},
      {"0x6", "DOS_FAT_16"},
      {"0xe", "DOS_FAT_16"},
      {"0xb", "DOS_FAT_32"},
      {"0xc", "DOS_FAT_32"},
      {"0x7", "Windows_NTFS"},
      {"0xaf", "Apple_HFS"},
      {"0x83", "Linux"},
      {"0xef", "EFI"},
      {"c12a7328-f81f-11d2-ba4b-00a0c93ec93b", "EFI"},
      {"ebd0a0a2-b9e5-4433-87c0-68b6b72699c7", "Microsoft Basic Data"},
      {"48465300-0000-11aa-aa11-00306543ecac", "Apple_HFS"},
      {"0fc63daf-8483-4772-8e79-3d69d8477de4", "Linux Filesystem"},
  };
  std::string key = lower(partEntryType);
  if (key.rfind("0x", 0) == 0) {
    key.erase(2, std::min(key.find_first_not_of('0', 2), key.size()) - 2);
    if (key == "0x") key = "0x0";
  }
  auto it = kTypes.find(key);
  if (it != kTypes.end()) return it->second;
  std::string upper = partEntryType;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

base::Result<DiskInfo> LinuxDiskInfo::info(const std::string& device) const {
  std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
  auto fail = [&]() { return base::Status::withMessage("Could not find disk: " + device, device); };
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    return fail();
  }
  std::string sys = under("/sys/class/block/" + name);
  auto dev = readText(sys + "/dev");
  if (!dev || dev->find(':') == std::string::npos) return fail();

  DiskInfo d;
  d.deviceIdentifier = name;
  d.deviceNode = "/dev/" + name;
  std::error_code ec;
  d.wholeDisk = !std::filesystem::exists(sys + "/partition", ec);
  int64_t sectors = 0;
  if (auto size = readText(sys + "/size")) sectors = std::atoll(size->c_str());
  bool readOnlyMedia = readText(sys + "/ro").value_or("0") == "1";

  std::map<std::string, std::string> udev;
  if (auto data = readText(under("/run/udev/data/b" + *dev))) {
    std::stringstream lines(*data);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("E:", 0) != 0) continue;
      size_t eq = line.find('=');
      if (eq != std::string::npos) udev[line.substr(2, eq - 2)] = line.substr(eq + 1);
    }
  }
  std::string fsType = udev["ID_FS_TYPE"];
  std::string version = udev["ID_FS_VERSION"];
  std::string label = udev.count("ID_FS_LABEL_ENC")
                          ? base::text::unescapeHex(udev["ID_FS_LABEL_ENC"])
                          : udev["ID_FS_LABEL"];
  std::string uuid = udev["ID_FS_UUID"];
  std::string partType = udev["ID_PART_ENTRY_TYPE"];
  std::string tableType = udev["ID_PART_TABLE_TYPE"];
  bool needProbe = fsType.empty() || ((fsType == "vfat" || fsType == "msdos") && version.empty()) ||
                   label.empty() || (!d.wholeDisk && partType.empty());
  if (needProbe) {
    auto found = probe(under(d.deviceNode));
    if (fsType.empty()) fsType = found["TYPE"];
    if (version.empty()) version = found["VERSION"];
    if (label.empty()) label = found["LABEL"];
    if (uuid.empty()) uuid = found["UUID"];
    if (partType.empty()) partType = found["PART_ENTRY_TYPE"];
    if (tableType.empty()) tableType = found["PTTYPE"];
  }

  std::optional<Mount> mount;
  if (auto mountinfo = readText(under("/proc/self/mountinfo"))) {
    std::stringstream lines(*mountinfo);
    for (std::string line; std::getline(lines, line);) {
      auto f = fields(line);
      auto dash = std::find(f.begin(), f.end(), "-");
      if (f.size() < 6 || dash == f.end() || f.end() - dash < 3) continue;
      bool same = f[2] == *dev || base::text::unescapeOctal(dash[2]) == d.deviceNode;
      if (!same) continue;
      Mount m{base::text::unescapeOctal(f[4]), dash[1], f[5], f.end() - dash >= 4 ? dash[3] : ""};
      // Prefer the mount of the volume's root over bind mounts of parts.
      if (!mount || f[3] == "/") mount = m;
      if (f[3] == "/") break;
    }
  }

  d.totalSize = sectors * 512;
  if (mount) {
    d.mountPoint = mount->point;
    d.fsType = mount->type;
    d.writable =
        !readOnlyMedia && hasOption(mount->options, "rw") && !hasOption(mount->superOptions, "ro");
    if (root_ == "/") {
      struct statvfs st {};
      if (::statvfs(mount->point.c_str(), &st) == 0) {
        d.totalSize = static_cast<int64_t>(st.f_blocks) * static_cast<int64_t>(st.f_frsize);
        d.freeSpace = static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
        d.clusterSize = static_cast<int64_t>(st.f_bsize);
      }
    } else if (auto table = readText(under("/statvfs"))) {
      std::stringstream lines(*table);
      for (std::string line; std::getline(lines, line);) {
        auto f = fields(line);
        if ((f.size() == 3 || f.size() == 4) && base::text::unescapeOctal(f[0]) == mount->point) {
          d.totalSize = std::atoll(f[1].c_str());
          d.freeSpace = std::atoll(f[2].c_str());
          if (f.size() == 4) d.clusterSize = std::atoll(f[3].c_str());
        }
      }
    }
  } else {
    d.writable = !readOnlyMedia;
    if (!fsType.empty()) d.fsType = fsType;
  }

  // FUSE mounts say only "fuseblk"; the probe says which file system.
  std::string type = mount ? mount->type : fsType;
  if (type == "fuseblk") {
    d.personality =
        fsType == "ntfs" ? std::optional<std::string>("NTFS-3G") : personalityFor(fsType, version);
  } else {
    d.personality = personalityFor(type, version);
  }
  if (!label.empty()) d.volumeName = label;
  if (!uuid.empty()) d.uuid = uuid;
  if (!partType.empty()) {
    d.content = contentFor(partType);
  } else if (tableType == "dos") {
    d.content = "FDisk_partition_scheme";
  } else if (tableType == "gpt") {
    d.content = "GUID_partition_scheme";
  }
  return d;
}

}  // namespace drive
