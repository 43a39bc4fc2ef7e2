#include "drive/SysfsDeviceRegistry.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace drive {
namespace stdfs = std::filesystem;

namespace {

bool allDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool allHex(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// host:channel:target:lun
bool isScsiDeviceName(const std::string& name) {
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    size_t end = part < 3 ? name.find(':', start) : name.size();
    if (end == std::string::npos || !allDigits(std::string_view(name).substr(start, end - start))) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

// domain:bus:device.function, as in 0000:03:00.0
bool isPciAddress(const std::string& name) {
  size_t c1 = name.find(':');
  size_t c2 = c1 == std::string::npos ? c1 : name.find(':', c1 + 1);
  size_t dot = c2 == std::string::npos ? c2 : name.find('.', c2 + 1);
  if (dot == std::string::npos) return false;
  std::string_view v(name);
  return allHex(v.substr(0, c1)) && allHex(v.substr(c1 + 1, c2 - c1 - 1)) &&
         allHex(v.substr(c2 + 1, dot - c2 - 1)) && allHex(v.substr(dot + 1));
}

RegistryValue littleEndian32(uint32_t value) {
  return RegistryValue::data({static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 24)});
}

class SysfsEntry : public RegistryEntry {
 public:
  SysfsEntry(std::shared_ptr<const SysfsTree> tree, stdfs::path dir, std::string diskName)
      : tree_(std::move(tree)), dir_(std::move(dir)), diskName_(std::move(diskName)) {}

  std::string name() const override {
    if (diskName_.empty()) return dir_.filename().string();
    std::string vendor = tree_->readTrimmedAttribute(dir_ / "device" / "vendor").value_or("");
    std::string model = tree_->readTrimmedAttribute(dir_ / "device" / "model").value_or("");
    if (vendor == "ATA") {
      // libata's placeholder, not a maker: the medium is named by the
      // ATA identify model, whole when VPD page 0x89 holds it.
      vendor.clear();
      if (auto identified = identifyModel()) model = *identified;
    }
    std::string name = vendor;
    if (!model.empty()) name += (name.empty() ? "" : " ") + model;
    if (name.empty()) name = diskName_;
    return name + " Media";
  }

  RegistryValue property(const std::string& key) const override {
    if (!diskName_.empty()) {
      if (key == "BSD Name") return RegistryValue::text(diskName_);
      if (key == "Whole") return RegistryValue::boolean(true);
      return {};
    }
    std::string base = dir_.filename().string();
    if (key == "SMART Capable") {
      if (!isScsiDeviceName(base)) return {};
      auto vendor = tree_->readTrimmedAttribute(dir_ / "vendor");
      if (vendor && *vendor == "ATA") return RegistryValue::boolean(true);
      return {};
    }
    if (!isPciAddress(base) || !tree_->readAttribute(dir_ / "vendor")) return {};
    if (key == "IOPCITunnelled") {
      auto removable = tree_->readTrimmedAttribute(dir_ / "removable");
      if (!removable) return {};
      return RegistryValue::boolean(*removable == "removable");
    }
    const char* file = key == "subsystem-vendor-id" ? "subsystem_vendor"
                       : key == "subsystem-id"      ? "subsystem_device"
                                                    : nullptr;
    if (file == nullptr) return {};
    auto text = tree_->readTrimmedAttribute(dir_ / file);
    if (!text) return {};
    auto id = SysfsDeviceRegistry::parsePciId(*text);
    if (!id) return {};
    return littleEndian32(*id);
  }

  std::unique_ptr<RegistryEntry> parent() const override {
    stdfs::path top = tree_->root() / "devices";
    auto canonicalTop = tree_->resolve(top);
    if (!canonicalTop) return nullptr;
    const std::string topText = canonicalTop->string() + "/";
    std::error_code ec;
    for (stdfs::path p = dir_.parent_path();; p = p.parent_path()) {
      std::string s = p.string();
      if (s.size() <= topText.size() || s.compare(0, topText.size(), topText) != 0) break;
      if (stdfs::is_regular_file(p / "uevent", ec)) {
        return std::make_unique<SysfsEntry>(tree_, p, std::string());
      }
    }
    return nullptr;
  }

  std::string location() const override { return dir_.string(); }

 private:
  // The model in the ATA IDENTIFY data that VPD page 0x89 (ATA
  // Information) carries from byte 60: words 27..46, two characters a
  // word with the first in the high byte, blank-padded. None when the
  // page is absent, short, of another number, or the text not printable.
  std::optional<std::string> identifyModel() const {
    constexpr size_t kModelAt = 60 + 27 * 2, kModelBytes = 40;
    auto page = tree_->readBinaryAttribute(dir_ / "device" / "vpd_pg89");
    if (!page || page->size() < kModelAt + kModelBytes ||
        static_cast<uint8_t>((*page)[1]) != 0x89) {
      return std::nullopt;
    }
    std::string model;
    for (size_t i = 0; i < kModelBytes; i += 2) {
      for (char c : {(*page)[kModelAt + i + 1], (*page)[kModelAt + i]}) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
          return std::nullopt;
        }
        model.push_back(c);
      }
    }
    size_t begin = model.find_first_not_of(' ');
    if (begin == std::string::npos) return std::nullopt;
    return model.substr(begin, model.find_last_not_of(' ') - begin + 1);
  }

  std::shared_ptr<const SysfsTree> tree_;
  stdfs::path dir_;
  std::string diskName_;  // set on a medium only
};

}  // namespace

SysfsDeviceRegistry::SysfsDeviceRegistry(stdfs::path sysRoot)
    : tree_(std::make_shared<SysfsTree>(std::move(sysRoot))) {}

SysfsDeviceRegistry::SysfsDeviceRegistry(std::shared_ptr<const SysfsTree> tree)
    : tree_(std::move(tree)) {}

std::optional<uint16_t> SysfsDeviceRegistry::parsePciId(const std::string& text) {
  std::string_view v(text);
  if (v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) v.remove_prefix(2);
  if (!allHex(v) || v.size() > 4) return std::nullopt;
  return static_cast<uint16_t>(std::stoul(std::string(v), nullptr, 16));
}

std::optional<std::vector<std::unique_ptr<RegistryEntry>>> SysfsDeviceRegistry::wholeDiskMedia() {
  std::error_code ec;
  stdfs::directory_iterator it(tree_->root() / "block", ec);
  if (ec) return std::nullopt;
  std::vector<std::unique_ptr<RegistryEntry>> media;
  std::vector<std::pair<std::string, stdfs::path>> found;
  for (; it != stdfs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    if (!SysfsTree::isPlausibleDeviceName(name)) continue;
    auto dir = tree_->resolve(it->path());
    if (!dir || !stdfs::is_directory(*dir, ec)) continue;
    found.emplace_back(name, *dir);
  }
  // Directory order is the file system's; sort for a stable scan.
  std::sort(found.begin(), found.end());
  for (auto& [name, dir] : found) media.push_back(std::make_unique<SysfsEntry>(tree_, dir, name));
  return media;
}

std::optional<std::string> SysfsDeviceRegistry::wholeDiskOfPartition(const std::string& device) {
  if (!SysfsTree::isPlausibleDeviceName(device)) return std::nullopt;
  stdfs::path entry = tree_->root() / "class" / "block" / device;
  auto number = tree_->readTrimmedAttribute(entry / "partition");
  if (!number || !allDigits(*number) || number->size() > 6 || std::stoul(*number) == 0) {
    return std::nullopt;
  }
  auto dir = tree_->resolve(entry);
  if (!dir) return std::nullopt;
  // A partition's directory sits inside its disk's directory.
  stdfs::path diskDir = dir->parent_path();
  std::string disk = diskDir.filename().string();
  if (!SysfsTree::isPlausibleDeviceName(disk)) return std::nullopt;
  auto listed = tree_->resolve(tree_->root() / "block" / disk);
  if (!listed || *listed != diskDir) return std::nullopt;
  return disk;
}

}  // namespace drive
