#include "cli/FormatCommand.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "cli/CommandLine.h"
#include "drive/DriveScanner.h"
#include "drive/FormatTarget.h"
#include "drive/LookingPreferences.h"
#include "drive/UdisksFormatter.h"
#include "session/ExportSession.h"

namespace app {
namespace {

struct FormatOptions {
  std::string drive;
  std::string confirm;
  bool fat32 = false;
  bool anyDrive = false;
  bool yes = false;
};

int exitFor(const base::Status& status) {
  switch (status.kind()) {
    case base::Status::Kind::kUsage:
      return kExitUsage;
    case base::Status::Kind::kBusy:
      return kExitBusy;
    case base::Status::Kind::kDeclined:
      return kExitDeclined;
    default:
      return kExitPartial;
  }
}

[[noreturn]] void fail(const base::Status& status) {
  std::cerr << "tessaline format: " << status.message() << "\n";
  throw CLI::RuntimeError(exitFor(status));
}

// The disk DRIVE names: a disk or partition device, or a volume of a
// Tessaline drive by title, label or mount point.
std::string diskNamed(const std::string& drive, const drive::DriveScan& scan,
                      const drive::HardwarePaths& paths) {
  std::string name = drive.rfind("/dev/", 0) == 0 ? drive.substr(5) : drive;
  std::string trimmed = drive;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  for (const auto& v : scan.volumes) {
    std::string mount = v.mountPoint;
    while (mount.size() > 1 && mount.back() == '/') mount.pop_back();
    if (v.title == drive || v.name == drive || (!mount.empty() && mount == trimmed))
      return drive::diskOf(paths, v.device);
  }
  return drive::diskOf(paths, name);
}

void runFormat(const FormatOptions& o, const Services& services) {
  const base::Configuration& config = *services.configuration;
  drive::HardwarePaths paths = config.fakeHardware.empty()
                                   ? drive::HardwarePaths::liveSystem()
                                   : drive::HardwarePaths::fakeTree(config.fakeHardware);
  drive::onlyLookAtDrivePreference(services.drives());
  drive::DriveScan scan = drive::DriveScanner(services.drives()).scan();
  std::string disk = diskNamed(o.drive, scan, paths);
  if (disk.empty())
    fail(base::Status::usage("No disk or Tessaline volume is named \"" + o.drive +
                             "\" (see tessaline drives, or lsblk)."));
  bool product = false;
  for (const auto& d : scan.drives) product = product || d == disk;
  base::Result<drive::FormatTarget> target = drive::readFormatTarget(
      paths, disk, product, config.fakeHardware.empty() ? "" : config.fakeMounts);
  if (!target) fail(target.status());
  if (base::Status refusal = drive::formatRefusal(*target, o.anyDrive); !refusal.ok())
    fail(refusal);

  const std::string name = target->confirmationName();
  std::string answer = o.confirm;
  if (answer.empty()) {
    if (o.yes)
      fail(base::Status::usage("--yes is not enough to erase a drive: add --confirm '" + name +
                               "' to say which one."));
    if (!isatty(STDIN_FILENO))
      fail(base::Status::usage(target->question() +
                               " Erasing asks for the volume's name: run it in a terminal, or "
                               "add --confirm '" +
                               name + "'."));
    std::cerr << target->question() << " Type the volume's name to go on: " << std::flush;
    if (!std::getline(std::cin, answer)) answer.clear();
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  } else {
    std::cerr << target->question() << "\n";
  }
  if (answer != name)
    fail(base::Status::of(
        base::Status::Kind::kDeclined,
        "\"" + answer + "\" is not the volume's name \"" + name + "\": nothing was erased."));

  drive::UdisksFormatter formatter;
  for (const auto& v : target->volumes) {
    if (v.mountPoint.empty()) continue;
    if (base::Status s = formatter.unmount(v.device); !s.ok()) fail(s);
  }
  const bool fat32 = o.fat32 || target->sizeBytes <= drive::kLargestFat32Drive;
  // FAT keeps labels in capitals; udisks2 would refuse or change others.
  std::string label = drive::kFormattedVolumeName;
  if (fat32)
    for (char& c : label) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  base::Result<drive::FormattedVolume> made =
      formatter.format(disk, fat32 ? "vfat" : "exfat", label);
  if (!made) fail(made.status());
  std::cout << "/dev/" << disk << " is erased: /dev/" << made->device << " is the "
            << (fat32 ? "FAT32" : "exFAT") << " volume \"" << label << "\""
            << (made->wholeDisk ? " (on the whole disk: it took no partition)" : "")
            << ", mounted at " << made->mountPoint << ".\n";
}

}  // namespace

void registerFormatCommand(CLI::App& cli, const Services& services) {
  auto o = std::make_shared<FormatOptions>();
  CLI::App* sub = cli.add_subcommand(
      "format", "Erase a removable Tessaline drive into one exFAT (or FAT32) volume, mounted");
  sub->add_option("DRIVE", o->drive,
                  "The drive: its device (/dev/sdb), or a volume's title, mount point or device")
      ->required();
  sub->add_flag("--fat32", o->fat32,
                "FAT32 instead of exFAT (the default above 32 GB): for players that read no "
                "exFAT; files are then at most 4 GB");
  sub->add_flag("--any-drive", o->anyDrive,
                "Also erase a removable drive that is not a Tessaline drive");
  sub->add_option("--confirm", o->confirm,
                  "The volume's name, as the question asks for it: erase without asking")
      ->type_name("NAME");
  sub->add_flag("--yes", o->yes, "Not enough on its own: erasing needs --confirm NAME");
  sub->callback([o, &services] { runFormat(*o, services); });
}

}  // namespace app
