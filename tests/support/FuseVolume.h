// A small FAT32 or exFAT volume for one test: an image file formatted with
// mkfs.vfat -F 32 or mkfs.exfat and mounted through FUSE (fusefat on the
// image, exfat-fuse on a loop device), as a user's drive is when the
// kernel has no driver for it. Needs root, /dev/fuse and the programs;
// otherwise ok() is false and why() says what is missing.
//
// Nothing outlives the test: the process moves into a mount namespace of
// its own where it can (the mount is seen by it and its children only),
// the driver runs in the foreground as a child that the kernel stops when
// the test process dies, and the loop device clears itself once the
// driver closes it. The destructor unmounts and waits for the driver.
//
// Thread: the test's thread only.
#pragma once

#include <fcntl.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class FuseVolume {
 public:
  enum class Kind { kFat32, kExFat };

  // `format` false: the image folder/volume.img is already formatted.
  FuseVolume(Kind kind, const std::string& folder, uint64_t imageBytes = 40ull << 20,
             bool format = true)
      : mountPoint_(folder + "/mnt") {
    const std::string image = folder + "/volume.img";
    bool fat = kind == Kind::kFat32;
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
      why_ = "not root, or no /dev/fuse";
      return;
    }
    static bool ownNamespace =
        unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    (void)ownNamespace;
    std::string mkfs = fat ? "mkfs.vfat -F 32 -n TESSALINE " : "mkfs.exfat -L TESSALINE ";
    std::string make = "truncate -s " + std::to_string(imageBytes) + " '" + image + "' && " + mkfs +
                       "'" + image + "' >/dev/null 2>&1 && ";
    if (std::system(((format ? make : "") + "mkdir -p '" + mountPoint_ + "'").c_str()) != 0) {
      why_ = std::string("cannot make the image (") + (fat ? "mkfs.vfat" : "mkfs.exfat") + ")";
      return;
    }
    std::string device = image;
    if (!fat && (device = attachLoop(image)).empty()) {
      why_ = "no loop device";
      return;
    }
    std::vector<std::string> args =
        fat ? std::vector<std::string>{"fusefat", "-f", "-o", "rw+", image, mountPoint_}
            : std::vector<std::string>{"mount.exfat-fuse", "-d", device, mountPoint_};
    pid_t parent = getpid();
    driver_ = fork();
    if (driver_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    for (int i = 0; i < 200 && !mounted(); ++i) {
      if (waitpid(driver_, nullptr, WNOHANG) == driver_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (loop_ >= 0) close(loop_);  // the driver holds it now
    loop_ = -1;
    if (!mounted()) why_ = "the trial mount failed (" + args[0] + ")";
  }
  ~FuseVolume() {
    if (mounted() && umount2(mountPoint_.c_str(), 0) != 0) umount2(mountPoint_.c_str(), MNT_DETACH);
    // The driver ends once unmounted; one that does not is stopped.
    for (int i = 0; driver_ > 0 && i < 200; ++i) {
      if (waitpid(driver_, nullptr, WNOHANG) == driver_)
        driver_ = -1;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (driver_ > 0) {
      kill(driver_, SIGTERM);
      waitpid(driver_, nullptr, 0);
    }
    if (loop_ >= 0) close(loop_);
  }
  FuseVolume(const FuseVolume&) = delete;
  FuseVolume& operator=(const FuseVolume&) = delete;

  bool ok() const { return why_.empty(); }
  const std::string& why() const { return why_; }
  const std::string& path() const { return mountPoint_; }

 private:
  bool mounted() const {
    struct statfs st;
    return statfs(mountPoint_.c_str(), &st) == 0 && st.f_type == FUSE_SUPER_MAGIC;
  }
  // A loop device on the image that detaches itself once nothing holds it.
  std::string attachLoop(const std::string& image) {
    int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    int file = open(image.c_str(), O_RDWR | O_CLOEXEC);
    std::string device;
    for (int attempt = 0; attempt < 8 && control >= 0 && file >= 0 && device.empty(); ++attempt) {
      int n = ioctl(control, LOOP_CTL_GET_FREE);
      if (n < 0) break;
      std::string name = "/dev/loop" + std::to_string(n);
      loop_ = open(name.c_str(), O_RDWR | O_CLOEXEC);
      loop_info64 info{};
      info.lo_flags = LO_FLAGS_AUTOCLEAR;
      if (loop_ >= 0 && ioctl(loop_, LOOP_SET_FD, file) == 0) {
        if (ioctl(loop_, LOOP_SET_STATUS64, &info) == 0)
          device = name;
        else
          ioctl(loop_, LOOP_CLR_FD, 0);
      }
      if (device.empty() && loop_ >= 0) close(loop_), loop_ = -1;
    }
    if (control >= 0) close(control);
    if (file >= 0) close(file);
    return device;
  }

  std::string mountPoint_, why_;
  pid_t driver_ = -1;
  int loop_ = -1;
};

}  // namespace testsupport
