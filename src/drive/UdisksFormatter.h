// Erasing a drive through udisks2 over D-Bus (sd-bus), as a desktop's
// disk tool does: its volumes unmounted (Filesystem.Unmount), a new DOS
// partition table (Block.Format "dos"), one partition over the whole
// disk holding the new file system (PartitionTable.CreatePartitionAndFormat)
// and that volume mounted (Filesystem.Mount).
//
// Thread: one thread at a time; each call opens its own bus connection.
// Errors: a Status naming the device and udisks2's reason in words (kBusy
// for a busy volume); a failure after the table was written says so.
#pragma once

#include <string>

#include "base/Status.h"

namespace drive {

struct FormattedVolume {
  std::string device;      // the new volume's kernel name, "sdb1"
  std::string mountPoint;  // where udisks2 mounted it
  bool wholeDisk = false;  // no partition could be made: the disk holds it
};

class UdisksFormatter {
 public:
  // `busAddress`: a D-Bus address; empty: the configuration's system bus.
  explicit UdisksFormatter(std::string busAddress = "");

  // Unmounts /dev/`device`; one that is not mounted is fine.
  base::Status unmount(const std::string& device);

  // `type`: "exfat" or "vfat" (FAT32); `label` the new volume's name.
  base::Result<FormattedVolume> format(const std::string& disk, const std::string& type,
                                       const std::string& label);

 private:
  std::string address_;
};

}  // namespace drive
