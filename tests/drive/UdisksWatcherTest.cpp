// The udisks2 watcher against a stand-in udisks2 on a private bus: which
// signals wake it (a drive added or removed, a volume's mount points
// changed) and which do not, and mounting through it.
#include <gtest/gtest.h>

#include "drive/UdisksWatcher.h"
#include "support/PrivateBus.h"

namespace drive {
namespace watcher_test {

// A method of the stand-in that has it send the signal named, so that the
// signal comes from udisks2's own connection.
int emit(sd_bus_message* m, void*, sd_bus_error*) {
  const char* which = nullptr;
  sd_bus_message_read(m, "s", &which);
  sd_bus* bus = sd_bus_message_get_bus(m);
  const std::string w = which;
  const char* root = "/org/freedesktop/UDisks2";
  const char* block = "/org/freedesktop/UDisks2/block_devices/sdb1";
  if (w == "added")
    sd_bus_emit_signal(bus, root, "org.freedesktop.DBus.ObjectManager", "InterfacesAdded",
                       "oa{sa{sv}}", block, 0);
  else if (w == "removed")
    sd_bus_emit_signal(bus, root, "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved", "oas",
                       block, 0);
  else
    sd_bus_emit_signal(bus, block, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                       "sa{sv}as", w.c_str(), 0, 0);
  return sd_bus_reply_method_return(m, "");
}
int mount(sd_bus_message* m, void* busy, sd_bus_error* e) {
  if (busy) return sd_bus_error_set(e, "org.freedesktop.UDisks2.Error.DeviceBusy", "busy");
  return sd_bus_reply_method_return(m, "s", "/media/u/TESSA MUSIC");
}
const sd_bus_vtable kTest[] = {SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Emit", "s", "", emit, 0),
                               SD_BUS_VTABLE_END};
const sd_bus_vtable kFilesystem[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Mount", "a{sv}", "s", mount, 0), SD_BUS_VTABLE_END};

TEST(UdisksWatcherThreaded, WakesForDrivesAndMountsOnlyAndMounts) {
  testsupport::PrivateBus bus;
  if (!bus.ok()) GTEST_SKIP() << "dbus-daemon could not be started";
  bus.serve("org.freedesktop.UDisks2", [](sd_bus* b) {
    static int busy = 1;
    const std::string block = "/org/freedesktop/UDisks2/block_devices/";
    sd_bus_add_object_vtable(b, nullptr, "/test", "test.Emitter", kTest, nullptr);
    sd_bus_add_object_vtable(b, nullptr, (block + "sdb1").c_str(),
                             "org.freedesktop.UDisks2.Filesystem", kFilesystem, nullptr);
    sd_bus_add_object_vtable(b, nullptr, (block + "sdc1").c_str(),
                             "org.freedesktop.UDisks2.Filesystem", kFilesystem, &busy);
  });
  UdisksWatcher watcher(bus.address());
  ASSERT_TRUE(watcher.start().ok());
  sd_bus* caller = nullptr;
  sd_bus_new(&caller);
  sd_bus_set_address(caller, bus.address().c_str());
  sd_bus_set_bus_client(caller, 1);
  ASSERT_GE(sd_bus_start(caller), 0);
  struct {
    const char* signal;
    bool fromUdisks, wakes;
  } rows[] = {
      {"added", true, true},
      {"removed", true, true},
      {"org.freedesktop.UDisks2.Filesystem", true, true},
      {"org.freedesktop.UDisks2.Drive", true, false},  // e.g. its temperature
      {"org.freedesktop.UDisks2.Filesystem", false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.signal) + (row.fromUdisks ? "" : " from another sender"));
    if (row.fromUdisks) {
      ASSERT_GE(sd_bus_call_method(caller, "org.freedesktop.UDisks2", "/test", "test.Emitter",
                                   "Emit", nullptr, nullptr, "s", row.signal),
                0);
    } else {
      sd_bus_emit_signal(caller, "/org/freedesktop/UDisks2/block_devices/sdb1",
                         "org.freedesktop.DBus.Properties", "PropertiesChanged", "sa{sv}as",
                         row.signal, 0, 0);
      sd_bus_flush(caller);
    }
    EXPECT_EQ(watcher.waitForChange(std::chrono::milliseconds(400), nullptr), row.wakes);
  }
  sd_bus_flush_close_unref(caller);
  auto mounted = watcher.mount("sdb1");
  ASSERT_TRUE(mounted.ok()) << mounted.status().message();
  EXPECT_EQ(*mounted, "/media/u/TESSA MUSIC");
  EXPECT_EQ(watcher.mount("sdc1").status().message(),
            "/dev/sdc1 is busy: a program still has a file open on it. Close it, then mount "
            "again.");
}

}  // namespace watcher_test
}  // namespace drive
