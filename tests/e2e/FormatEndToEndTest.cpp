// `tessaline format` on the fake machine's Tessaline drive, against a
// stand-in udisks2 on a private bus whose Format writes a real file system
// (mkfs.exfat, mkfs.vfat) onto an image and whose Mount mounts it through
// FUSE; then an export onto the new volume. Needs root and /dev/fuse.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>
#include <mutex>

#include "support/FuseVolume.h"
#include "support/PrivateBus.h"

namespace format_e2e {

namespace stdfs = std::filesystem;
using testsupport::FuseVolume;

const char* const kBlock = "/org/freedesktop/UDisks2/block_devices/";

// What the stand-in was asked, and the volume it made.
struct Drive {
  std::string folder;
  std::mutex mutex;
  std::vector<std::string> calls;
  std::unique_ptr<FuseVolume> volume;
  bool fat = false;
  bool noPartitions = false;  // a disk whose partitions never show
  void record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(call);
  }
} drive;

int unmount(sd_bus_message* m, void*, sd_bus_error*) {
  drive.record(std::string("Unmount ") + sd_bus_message_get_path(m));
  return sd_bus_reply_method_return(m, "");
}
// The label among a call's options.
std::string labelIn(sd_bus_message* m) {
  const char *key, *label = "";
  sd_bus_message_enter_container(m, 'a', "{sv}");
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    sd_bus_message_read(m, "s", &key);
    if (std::string(key) == "label")
      sd_bus_message_read(m, "v", "s", &label);
    else
      sd_bus_message_skip(m, "v");
    sd_bus_message_exit_container(m);
  }
  return label;
}
int makeVolume(const std::string& fsType, const std::string& label, sd_bus_error* e) {
  std::lock_guard<std::mutex> lock(drive.mutex);
  std::string image = drive.folder + "/volume.img";
  drive.fat = fsType == "vfat";
  std::string mkfs = drive.fat ? "mkfs.vfat -F 32 -n '" : "mkfs.exfat -L '";
  if (std::system(("truncate -s 40M '" + image + "' && " + mkfs + label + "' '" + image +
                   "' >/dev/null 2>&1")
                      .c_str()) != 0)
    return sd_bus_error_set(e, "org.freedesktop.UDisks2.Error.Failed", "mkfs failed");
  return 0;
}
int format(sd_bus_message* m, void*, sd_bus_error* e) {
  const char* type = nullptr;
  sd_bus_message_read(m, "s", &type);
  std::string label = labelIn(m);
  drive.record(std::string("Format ") + type + (label.empty() ? "" : " " + label));
  if (std::string(type) != "dos" && makeVolume(type, label, e) < 0) return -EIO;
  return sd_bus_reply_method_return(m, "");
}
int createAndFormat(sd_bus_message* m, void*, sd_bus_error* e) {
  uint64_t offset, size;
  const char *partType, *name, *fsType;
  sd_bus_message_read(m, "ttss", &offset, &size, &partType, &name);
  sd_bus_message_skip(m, "a{sv}");
  sd_bus_message_read(m, "s", &fsType);
  std::string label = labelIn(m);
  drive.record(std::string("CreatePartitionAndFormat ") + partType + " " + fsType + " " + label);
  bool none = false;
  {
    std::lock_guard<std::mutex> lock(drive.mutex);
    none = drive.noPartitions;
  }
  if (none)
    return sd_bus_error_set(e, "org.freedesktop.UDisks2.Error.Failed",
                            "Timed out waiting for object");
  if (makeVolume(fsType, label, e) < 0) return -EIO;
  return sd_bus_reply_method_return(m, "o", (std::string(kBlock) + "sdb1").c_str());
}
int mountVolume(sd_bus_message* m, void*, sd_bus_error* e) {
  drive.record(std::string("Mount ") + sd_bus_message_get_path(m));
  std::lock_guard<std::mutex> lock(drive.mutex);
  drive.volume = std::make_unique<FuseVolume>(
      drive.fat ? FuseVolume::Kind::kFat32 : FuseVolume::Kind::kExFat, drive.folder, 0, false);
  if (!drive.volume->ok())
    return sd_bus_error_set(e, "org.freedesktop.UDisks2.Error.Failed", drive.volume->why().c_str());
  return sd_bus_reply_method_return(m, "s", drive.volume->path().c_str());
}

const sd_bus_vtable kFilesystem[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Unmount", "a{sv}", "", unmount, 0),
    SD_BUS_METHOD("Mount", "a{sv}", "s", mountVolume, 0), SD_BUS_VTABLE_END};
const sd_bus_vtable kBlockMethods[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Format", "sa{sv}", "", format, 0), SD_BUS_VTABLE_END};
const sd_bus_vtable kTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("CreatePartitionAndFormat", "ttssa{sv}sa{sv}", "o", createAndFormat, 0),
    SD_BUS_VTABLE_END};

std::pair<int, std::string> run(const std::string& env, const std::string& args) {
  std::string command = "env -u TESSALINE_FAKE_HARDWARE " + env + " '" TESSALINE_EXECUTABLE "' " +
                        args + " 2>&1 </dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(FormatEndToEndThreaded, ErasesThroughUdisksThenExportsOntoTheNewVolume) {
  if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
    GTEST_SKIP() << "needs root and /dev/fuse to format and mount an image";
  testsupport::TempDir dir;
  testsupport::PrivateBus bus;
  if (!bus.ok()) GTEST_SKIP() << "dbus-daemon could not be started";
  bus.serve("org.freedesktop.UDisks2", [](sd_bus* b) {
    for (const char* volume : {"sdb1", "sdb2", "sdb"})
      sd_bus_add_object_vtable(b, nullptr, (std::string(kBlock) + volume).c_str(),
                               "org.freedesktop.UDisks2.Filesystem", kFilesystem, nullptr);
    const std::string disk = std::string(kBlock) + "sdb";
    sd_bus_add_object_vtable(b, nullptr, disk.c_str(), "org.freedesktop.UDisks2.Block",
                             kBlockMethods, nullptr);
    sd_bus_add_object_vtable(b, nullptr, disk.c_str(), "org.freedesktop.UDisks2.PartitionTable",
                             kTable, nullptr);
  });
  const std::string env = "DBUS_SYSTEM_BUS_ADDRESS='" + bus.address() + "' XDG_CONFIG_HOME='" +
                          dir / "config" +
                          "' TESSALINE_RESOURCES='" TESSALINE_SOURCE_DIR "/resources'";
  const std::string format =
      "--fake-hardware '" TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive' format ";
  struct {
    const char* args;
    int status;
    const char* says;
    std::vector<std::string> calls;
    bool noPartitions = false;
  } rows[] = {
      {"sdb --yes", 2, "--yes is not enough to erase a drive: add --confirm 'TESSA MUSIC'", {}},
      {"sdb", 2, "Erase TESSA MUSIC and ARCHIVE (VEXTRA-T1, 480.5 GB, ", {}},
      {"'TESSA MUSIC' --confirm ARCHIVE", 5, "\"ARCHIVE\" is not the volume's name", {}},
      {"sda", 2, "/dev/sda holds this computer's system (/, /boot/efi): it is never erased.", {}},
      {"/dev/sdb --fat32 --confirm 'TESSA MUSIC'",
       0,
       "is the FAT32 volume \"CORVANE\"",
       {"Unmount /org/freedesktop/UDisks2/block_devices/sdb1",
        "Unmount /org/freedesktop/UDisks2/block_devices/sdb2", "Format dos",
        "CreatePartitionAndFormat 0x0c vfat CORVANE",
        "Mount /org/freedesktop/UDisks2/block_devices/sdb1"}},
      {"sdb --confirm 'TESSA MUSIC'",
       0,
       "/dev/sdb is erased: /dev/sdb1 is the exFAT volume \"Corvane\", mounted at",
       {"Unmount /org/freedesktop/UDisks2/block_devices/sdb1",
        "Unmount /org/freedesktop/UDisks2/block_devices/sdb2", "Format dos",
        "CreatePartitionAndFormat 0x07 exfat Corvane",
        "Mount /org/freedesktop/UDisks2/block_devices/sdb1"}},
      {"sdb --confirm 'TESSA MUSIC'",
       0,
       "/dev/sdb is erased: /dev/sdb is the exFAT volume \"Corvane\" (on the whole disk: it "
       "took no partition), mounted at",
       {"Unmount /org/freedesktop/UDisks2/block_devices/sdb1",
        "Unmount /org/freedesktop/UDisks2/block_devices/sdb2", "Format dos",
        "CreatePartitionAndFormat 0x07 exfat Corvane", "Format exfat Corvane",
        "Mount /org/freedesktop/UDisks2/block_devices/sdb"},
       true},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    {
      // The stand-in's thread reads these while it answers.
      std::lock_guard<std::mutex> lock(drive.mutex);
      drive.folder = dir / ("drive" + std::to_string(++n));
      stdfs::create_directories(drive.folder);
      drive.calls.clear();
      drive.volume.reset();
      drive.noPartitions = row.noPartitions;
    }
    auto [status, out] = run(env, format + row.args);
    EXPECT_EQ(status, row.status) << out;
    EXPECT_NE(out.find(row.says), std::string::npos) << out;
    std::lock_guard<std::mutex> lock(drive.mutex);
    EXPECT_EQ(drive.calls, row.calls);
    if (row.status != 0) continue;
    ASSERT_TRUE(drive.volume && drive.volume->ok()) << out;
    // An export onto the volume just made.
    testsupport::writeOneTrackLibrary(dir.path());
    auto [exported, report] = run(env, "export --library '" + dir / "Library.xml" + "' --to '" +
                                           drive.volume->path() + "' --yes");
    EXPECT_EQ(exported, 0) << report;
    int copies = 0;
    for (const auto& f : stdfs::recursive_directory_iterator(drive.volume->path()))
      copies += f.path().extension() == ".mp3" && stdfs::file_size(f.path()) == 11;
    EXPECT_EQ(copies, 1) << report;
  }
  bus.stop();
  drive.volume.reset();
}

}  // namespace format_e2e
