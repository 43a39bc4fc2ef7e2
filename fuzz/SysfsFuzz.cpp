// The sysfs device registry inside a copy of the fake hardware tree: the
// input supplies the attribute texts of the second disk's SCSI and PCI
// devices and a device name to look up, never /sys.
#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzSupport.h"
#include "drive/SysfsDeviceRegistry.h"

namespace {

constexpr const char* kPci = "sys/devices/pci0000:00/0000:00:1c.4/0000:05:00.0/";
constexpr const char* kScsi =
    "sys/devices/pci0000:00/0000:00:1c.4/0000:05:00.0/ata3/host2/target2:0:0/2:0:0:0/";

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
  fuzz::quietLog();
  const fuzz::ScratchDir& hw = fuzz::fakeHardware();
  FuzzedDataProvider in(data, size);
  hw.write(std::string(kScsi) + "vendor", in.ConsumeRandomLengthString(64));
  hw.write(std::string(kScsi) + "model", in.ConsumeRandomLengthString(64));
  hw.write(std::string(kPci) + "removable", in.ConsumeRandomLengthString(32));
  hw.write(std::string(kPci) + "subsystem_vendor", in.ConsumeRandomLengthString(32));
  hw.write(std::string(kPci) + "subsystem_device", in.ConsumeRandomLengthString(32));
  hw.write(std::string(kScsi) + "block/sdb/sdb1/partition", in.ConsumeRandomLengthString(16));
  std::string device = in.ConsumeRandomLengthString(64);
  std::string attribute = in.ConsumeRemainingBytesAsString();

  drive::SysfsDeviceRegistry registry(hw.root() / "sys");
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
  hw.write("sys/fuzz-attribute", attribute);
  drive::SysfsTree tree(hw.root() / "sys");
  (void)tree.readTrimmedAttribute(hw.root() / "sys" / "fuzz-attribute");
  return 0;
}
