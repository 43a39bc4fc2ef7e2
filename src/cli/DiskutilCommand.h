// `tessaline diskutil info [-plist] DEVICE`: this machine's disk tool for
// scripts, printing what the drive scan finds about a volume
// (drive/LinuxDiskInfo.h) as the Mac's `diskutil info` does. The program's
// own drive scan does not run it.
//
// DEVICE is a block device name ("sdb1") or node ("/dev/sdb1"). The
// property-list form prints an XML property list with the keys
// "Content", "DeviceIdentifier", "DeviceNode", "FilesystemName",
// "FilesystemType", "FreeSpace", "MountPoint", "TotalSize",
// "VolumeAllocationBlockSize" and "VolumeUUID" (when known), "VolumeName",
// "WholeDisk", "Writable"; the text form prints "Key: value" lines,
// among them "File System Personality", "Partition Type", "Read-Only
// Volume", "Total Size", "Volume Free Space", "Volume UUID" and
// "Allocation Block Size". Text sizes are written
// in binary units ("3.6 GB" is 3.6 x 2^30 bytes) followed by the exact
// count, as the inspection reads them. The machine is read through
// $TESSALINE_FAKE_HARDWARE when set (drive/LinuxDiskInfo.h).
//
// Thread: main thread.
// Errors: an unknown device prints "Could not find disk: DEVICE" on
// standard error and the command fails (non-zero exit status).
#pragma once

#include <ostream>
#include <string>

namespace CLI {
class App;
}

namespace app {

void registerDiskutilCommand(CLI::App& cli);

// The command's work: prints the report of `device` read below `root`;
// returns 0, or 1 when the device is unknown (message on `err`).
int runDiskutilInfo(const std::string& device, bool plist, const std::string& root,
                    std::ostream& out, std::ostream& err);

// "3.6 GB (3888095232 Bytes) (exactly 7593936 512-Byte-Units)".
std::string diskutilSizeText(int64_t bytes);

}  // namespace app
