// Which disks the format command refuses to erase, one machine per row:
// the system's disks (also through a stacked device and swap), fixed disks,
// other makers' drives, and volumes in use by a program or an export.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "FakeHardware.h"
#include "drive/FormatTarget.h"

namespace drive {
namespace {

using drive_test::FakeHardware;

constexpr const char* kUsb = "pci0000:00/0000:00:14.0/usb2/2-1/host6/target6:0:0/6:0:0:0";
constexpr const char* kSata = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
constexpr const char* kMount = "/media/u/TESSA\\040MUSIC";

std::string mountLine(const char* majorMinor, const std::string& where) {
  return std::string("30 1 ") + majorMinor + " / " + where + " rw - exfat /dev/x rw";
}

// A process of its own holding the export lock of `folder` until killed.
pid_t holdLock(const std::string& folder) {
  std::filesystem::create_directories(folder + "/.tessaline");
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    int fd = open((folder + "/.tessaline/lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(fd, "777", 3) != 3) _exit(1);
    char c = 1;
    (void)!write(fds[1], &c, 1);
    pause();
    _exit(0);
  }
  char c;
  (void)!read(fds[0], &c, 1);
  close(fds[0]);
  close(fds[1]);
  return child;
}

TEST(FormatTarget, RefusesWhatMustNotBeErased) {
  using Kind = base::Status::Kind;
  struct Row {
    const char* what;
    const char* parent;
    bool product, anyDrive;
    std::function<void(FakeHardware&)> machine;
    std::optional<Kind> refused;  // none: may be erased
    const char* says;
  };
  auto none = [](FakeHardware&) {};
  const Row rows[] = {
      {"a Tessaline drive on USB", kUsb, true, false, none, std::nullopt, ""},
      {"another maker's drive", kUsb, false, false, none, Kind::kUsage,
       "/dev/sdb (Generic Flash) is not a Tessaline drive: add --any-drive"},
      {"another maker's drive, --any-drive", kUsb, false, true, none, std::nullopt, ""},
      {"a fixed disk, even with --any-drive", kSata, false, true, none, Kind::kUsage,
       "is not a removable drive"},
      {"the system disk", kUsb, true, false,
       [](FakeHardware& hw) { hw.mountinfo({mountLine("8:18", "/")}); }, Kind::kUsage,
       "/dev/sdb holds this computer's system (/): it is never erased."},
      {"/home through the device mapper", kUsb, true, false,
       [](FakeHardware& hw) {
         hw.write("sys/devices/virtual/block/dm-0/dev", "254:0\n");
         hw.write("sys/devices/virtual/block/dm-0/slaves/sdb1/.keep", "");
         hw.link("sys/class/block/dm-0", "../../devices/virtual/block/dm-0");
         hw.link("sys/dev/block/254:0", "../../devices/virtual/block/dm-0");
         hw.mountinfo({mountLine("254:0", "/home")});
       },
       Kind::kUsage, "holds this computer's system (/home)"},
      {"swap", kUsb, true, false,
       [](FakeHardware& hw) {
         hw.write("proc/swaps", "Filename Type Size Used Priority\n/dev/sdb2 partition 9 0 -2\n");
       },
       Kind::kUsage, "holds this computer's system (swap)"},
      {"a file open in a player", kUsb, true, false,
       [](FakeHardware& hw) {
         hw.mountinfo({mountLine("8:17", kMount)});
         hw.write("proc/4711/comm", "vlc\n");
         hw.link("proc/4711/fd/7", "/media/u/TESSA MUSIC/Music/a.mp3");
       },
       Kind::kBusy,
       "/dev/sdb1 (TESSA MUSIC) is busy: vlc (pid 4711) has files open on it at /media/u/TESSA "
       "MUSIC."},
      {"a shell inside it", kUsb, true, false,
       [](FakeHardware& hw) {
         hw.mountinfo({mountLine("8:17", kMount)});
         hw.link("proc/99/cwd", "/media/u/TESSA MUSIC");
       },
       Kind::kBusy, "a process (pid 99) has files open"},
      {"another process exporting to it", kUsb, true, false,
       [](FakeHardware& hw) { hw.mountinfo({mountLine("8:17", kMount)}); }, Kind::kBusy,
       "/dev/sdb1 (TESSA MUSIC) is being exported to by pid 777: wait until that export ends"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeHardware hw;
    hw.addScsiDevice(row.parent, "Generic ", "Flash");
    hw.addDisk(row.parent, "sdb", 8, 16, {"sdb1", "sdb2"});
    hw.write("sys/class/block/sdb/size", "125045424\n");
    row.machine(hw);
    const std::string mounts = hw.root / "mounts";
    pid_t holder = std::string(row.what).find("exporting") != std::string::npos
                       ? holdLock(mounts + "/media/u/TESSA MUSIC")
                       : -1;
    auto target = readFormatTarget(HardwarePaths::fakeTree(hw.root), "sdb", row.product, mounts);
    ASSERT_TRUE(target.ok()) << target.status().message();
    base::Status refusal = formatRefusal(*target, row.anyDrive);
    if (holder > 0) kill(holder, SIGKILL), waitpid(holder, nullptr, 0);
    EXPECT_EQ(refusal.ok(), !row.refused) << refusal.message();
    if (row.refused) {
      EXPECT_EQ(refusal.kind(), *row.refused);
    }
    EXPECT_NE(refusal.message().find(row.says), std::string::npos) << refusal.message();
  }
}

TEST(FormatTarget, AsksWithWhatWouldBeLost) {
  FakeHardware hw;
  hw.addScsiDevice(kUsb, "Marovex ", "Vextra Tessaline");
  hw.addDisk(kUsb, "sdb", 8, 16, {"sdb1"});
  hw.write("sys/class/block/sdb/size", "125045424\n");
  hw.write("sys/class/block/sdb1/dev", "8:17\n");
  hw.mountinfo({mountLine("8:17", kMount)});
  hw.write("statvfs", std::string(kMount) + " 64000000000 20000000000 32768\n");
  const std::string mounts = hw.root / "mounts";
  for (const char* file : {"Music/a.mp3", "Music/b.mp3", "Tessaline/Mix.m3u8"})
    testsupport::writeFile(mounts + "/media/u/TESSA MUSIC/" + file, "x");
  auto target = readFormatTarget(HardwarePaths::fakeTree(hw.root), "sdb", true, mounts);
  ASSERT_TRUE(target.ok());
  EXPECT_EQ(target->question(),
            "Erase TESSA MUSIC (Marovex Vextra Tessaline, 59.6 GB, 3 files, "
            "41 GB used)?");
  EXPECT_EQ(target->confirmationName(), "TESSA MUSIC");
  EXPECT_EQ(diskOf(HardwarePaths::fakeTree(hw.root), "sdb1"), "sdb");
  EXPECT_FALSE(readFormatTarget(HardwarePaths::fakeTree(hw.root), "../sdb", true).ok());
}

}  // namespace
}  // namespace drive
