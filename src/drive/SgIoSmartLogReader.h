// Reads a SMART log page from a live ATA disk: SMART READ LOG (B0h/D5h)
// sent as an ATA PASS-THROUGH (16) command through the SG_IO ioctl on the
// disk's block device node. No SMART ENABLE is sent first.
//
// Privilege: opening the node needs read access to it (root or the disk
// group), and the kernel passes ATA PASS-THROUGH (opcode 85h is on none
// of its lists of commands safe for unprivileged users) only to a
// process with CAP_SYS_RAWIO: the disk group alone gets EPERM. Such a
// refusal, or EACCES on opening, answers a Status that is notPermitted().
//
// Thread: one reader per thread; each read opens and closes the device.
// Errors: no device node, a refused command or a short transfer answer a
// failed Status such as
//   "cannot read SMART log 0x88 of /dev/sdb: Operation not permitted".
#pragma once

#include <filesystem>
#include <functional>

#include "drive/SmartLogReader.h"

namespace drive {

class SgIoSmartLogReader : public SmartLogReader {
 public:
  // Sends one sg_io_hdr on an open node; answers the ioctl's result and
  // leaves errno set on failure (tests stand in for the kernel).
  using Transport = std::function<int(int fd, void* sgIoHeader)>;

  // `devRoot` is where the device nodes are ("/dev"); the transport is
  // the SG_IO ioctl unless given.
  explicit SgIoSmartLogReader(std::filesystem::path devRoot, Transport transport = {})
      : devRoot_(std::move(devRoot)), transport_(std::move(transport)) {}

  base::Status readLogAtAddress(const RegistryEntry& smartService, uint8_t logAddress,
                                std::span<uint8_t, kPageSize> page) override;

  // The 16-byte command block for SMART READ LOG of one sector.
  static std::array<uint8_t, 16> readLogCommand(uint8_t logAddress);

 private:
  std::filesystem::path devRoot_;
  Transport transport_;
};

}  // namespace drive
