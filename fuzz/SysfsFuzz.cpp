// The sysfs device registry on a copy of the fake hardware tree, never
// /sys: the input supplies the attribute texts of the second disk's SCSI
// and PCI devices and a device name to look up. The tree serves those
// attributes from the input in memory rather than from files written per
// input, and remembers what each path resolves to and what every other
// file holds (the copy never changes while the target runs).
#include <fuzzer/FuzzedDataProvider.h>

#include <map>

#include "FuzzSupport.h"
#include "drive/SysfsDeviceRegistry.h"

namespace {

namespace stdfs = std::filesystem;

constexpr const char* kPci = "sys/devices/pci0000:00/0000:00:1c.4/0000:05:00.0/";
constexpr const char* kScsi =
    "sys/devices/pci0000:00/0000:00:1c.4/0000:05:00.0/ata3/host2/target2:0:0/2:0:0:0/";

// The attributes the input supplies, in the order it supplies them, with
// the most bytes each takes (the device name to look up comes before the
// last).
const std::vector<std::pair<std::string, size_t>>& inputAttributes() {
  static const std::vector<std::pair<std::string, size_t>> list = {
      {std::string(kScsi) + "vendor", 64},
      {std::string(kScsi) + "model", 64},
      {std::string(kPci) + "removable", 32},
      {std::string(kPci) + "subsystem_vendor", 32},
      {std::string(kPci) + "subsystem_device", 32},
      {std::string(kScsi) + "block/sdb/sdb1/partition", 16},
      // Any bytes through the attribute reading; the rest of the input.
      {"sys/fuzz-attribute", 0}};
  return list;
}

// Thread: the fuzz thread only (the memo and the texts change under const).
class InputTree : public drive::SysfsTree {
 public:
  explicit InputTree(const stdfs::path& hardware) : SysfsTree(hardware / "sys") {
    for (const auto& [rel, max] : inputAttributes()) {
      auto resolved = SysfsTree::resolve(hardware / rel);
      if (!resolved) std::abort();  // the copy lacks the file: nothing would be fuzzed
      slots_.push_back(*resolved);
    }
  }

  void setTexts(std::vector<std::string> texts) {
    texts_.clear();
    for (size_t i = 0; i < slots_.size(); ++i) texts_[slots_[i]] = std::move(texts[i]);
  }

  std::optional<stdfs::path> resolve(const stdfs::path& path) const override {
    auto found = memo_.find(path);
    if (found != memo_.end()) return found->second;
    // Device names from the input make new paths; keep the memo bounded.
    if (memo_.size() > 4096) memo_.clear();
    return memo_[path] = SysfsTree::resolve(path);
  }

 protected:
  std::optional<std::string> readFile(const stdfs::path& resolved, size_t limit) const override {
    auto text = texts_.find(resolved);
    if (text != texts_.end()) {
      if (text->second.size() > limit) return std::nullopt;  // as a file too large is
      return text->second;
    }
    auto key = std::make_pair(resolved, limit);
    auto found = files_.find(key);
    if (found != files_.end()) return found->second;
    if (files_.size() > 4096) files_.clear();
    return files_[key] = SysfsTree::readFile(resolved, limit);
  }

 private:
  std::vector<stdfs::path> slots_;
  std::map<stdfs::path, std::string> texts_;
  mutable std::map<stdfs::path, std::optional<stdfs::path>> memo_;
  mutable std::map<std::pair<stdfs::path, size_t>, std::optional<std::string>> files_;
};

void visit(const drive::RegistryEntry& entry) {
  (void)entry.name();
  (void)entry.location();
  for (const char* key : {"BSD Name", "Whole", "SMART Capable", "IOPCITunnelled",
                          "subsystem-vendor-id", "subsystem-id"}) {
    (void)entry.property(key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  static const std::shared_ptr<InputTree> tree = [] {
    const fuzz::ScratchDir& hw = fuzz::fakeHardware();
    hw.write("sys/fuzz-attribute", "");
    return std::make_shared<InputTree>(hw.root());
  }();
  FuzzedDataProvider in(data, size);
  std::vector<std::string> texts;
  for (size_t i = 0; i + 1 < inputAttributes().size(); ++i) {
    texts.push_back(in.ConsumeRandomLengthString(inputAttributes()[i].second));
  }
  std::string device = in.ConsumeRandomLengthString(64);
  std::string attribute = in.ConsumeRemainingBytesAsString();
  texts.push_back(attribute);
  tree->setTexts(std::move(texts));

  drive::SysfsDeviceRegistry registry{std::shared_ptr<const drive::SysfsTree>(tree)};
  if (auto media = registry.wholeDiskMedia()) {
    for (const auto& medium : *media) {
      visit(*medium);
      // A device tree is shallow; the bound keeps a broken parent chain
      // from looping the target.
      auto up = medium->parent();
      for (int depth = 0; up && depth < 32; ++depth, up = up->parent()) visit(*up);
    }
  }
  (void)registry.wholeDiskOfPartition(device);
  (void)drive::SysfsDeviceRegistry::parsePciId(attribute);
  (void)drive::SysfsTree::isPlausibleDeviceName(device);
  (void)tree->readTrimmedAttribute(tree->root() / "fuzz-attribute");
  return 0;
}
