// The udisks2 ejector against a private bus: a stand-in udisks2 that
// unmounts and powers off, or finds the volume busy, and no udisks2 at all.
#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>

#include "drive/UdisksBus.h"
#include "drive/UdisksEjector.h"
#include "support/PrivateBus.h"

namespace drive {
namespace {

std::atomic<int> powerOffs{0};

int unmount(sd_bus_message* m, void* busy, sd_bus_error* e) {
  if (busy) return sd_bus_error_set(e, "org.freedesktop.UDisks2.Error.DeviceBusy", "target busy");
  return sd_bus_reply_method_return(m, "");
}
int powerOff(sd_bus_message* m, void*, sd_bus_error*) {
  ++powerOffs;
  return sd_bus_reply_method_return(m, "");
}
int drivePath(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
              sd_bus_error*) {
  return sd_bus_message_append(reply, "o", "/org/freedesktop/UDisks2/drives/Tessaline");
}
const sd_bus_vtable kFilesystem[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Unmount", "a{sv}", "", unmount, 0), SD_BUS_VTABLE_END};
const sd_bus_vtable kBlock[] = {SD_BUS_VTABLE_START(0),
                                SD_BUS_PROPERTY("Drive", "o", drivePath, 0, 0), SD_BUS_VTABLE_END};
const sd_bus_vtable kDrive[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("PowerOff", "a{sv}", "", powerOff, 0), SD_BUS_VTABLE_END};

TEST(UdisksEjectorThreaded, UnmountsAndPowersOffOrSaysWhyNot) {
  testsupport::TempDir dir;
  testsupport::PrivateBus bus;
  if (!bus.ok()) GTEST_SKIP() << "dbus-daemon could not be started";
  const std::string& address = bus.address();
  // Without udisks2 on the bus.
  EXPECT_EQ(UdisksEjector(address).eject("sdb1", "").message,
            "udisks2 is not running, so /dev/sdb1 cannot be ejected from here (install and start "
            "udisks2, or unmount it as root).");
  bus.serve("org.freedesktop.UDisks2", [](sd_bus* bus) {
    static int busy = 1;
    const std::string block = "/org/freedesktop/UDisks2/block_devices/";
    sd_bus_add_object_vtable(bus, nullptr, (block + "sdb1").c_str(),
                             "org.freedesktop.UDisks2.Filesystem", kFilesystem, nullptr);
    sd_bus_add_object_vtable(bus, nullptr, (block + "sdc1").c_str(),
                             "org.freedesktop.UDisks2.Filesystem", kFilesystem, &busy);
    sd_bus_add_object_vtable(bus, nullptr, (block + "sdb1").c_str(),
                             "org.freedesktop.UDisks2.Block", kBlock, nullptr);
    sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/UDisks2/drives/Tessaline",
                             "org.freedesktop.UDisks2.Drive", kDrive, nullptr);
  });
  struct {
    const char* device;
    bool unmounted, poweredOff;
    const char* message;
  } cases[] = {
      {"sdb1", true, true,
       "/dev/sdb1 is unmounted and its drive powered off: it can be unplugged."},
      {"sdc1", false, false,
       "/dev/sdc1 is busy: a program still has a file open on it. Close it, then eject again."},
      {"sdd1", false, false, "udisks2 does not know /dev/sdd1 as a volume it can unmount."},
  };
  for (const auto& c : cases) {
    drive::EjectOutcome out = UdisksEjector(address).eject(c.device, dir.path());
    EXPECT_EQ(out.unmounted, c.unmounted) << c.device;
    EXPECT_EQ(out.poweredOff, c.poweredOff) << c.device;
    EXPECT_EQ(out.message, c.message);
  }
  EXPECT_EQ(powerOffs, 1);
  EXPECT_EQ(UdisksEjector::blockObjectPath("mmcblk0p1"),
            "/org/freedesktop/UDisks2/block_devices/mmcblk0p1");
  EXPECT_EQ(UdisksEjector::blockObjectPath("dm-0"),
            "/org/freedesktop/UDisks2/block_devices/dm_2d0");
  EXPECT_EQ(udisks::deviceOfObjectPath("/org/freedesktop/UDisks2/block_devices/dm_2d0"), "dm-0");
}

}  // namespace
}  // namespace drive
