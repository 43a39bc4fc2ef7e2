// Reads a SMART log page from a live ATA disk: SMART READ LOG (B0h/D5h)
// sent as an ATA PASS-THROUGH (16) command through the SG_IO ioctl on the
// disk's block device node. No SMART ENABLE is sent first.
//
// Thread: one reader per thread; each read opens and closes the device.
// Errors: no device node, no permission (reading needs root or the disk
// group), a refused command or a short transfer answer false.
#pragma once

#include <filesystem>

#include "drive/SmartLogReader.h"

namespace drive {

class SgIoSmartLogReader : public SmartLogReader {
 public:
  // `devRoot` is where the device nodes are ("/dev").
  explicit SgIoSmartLogReader(std::filesystem::path devRoot) : devRoot_(std::move(devRoot)) {}

  bool readLogAtAddress(const RegistryEntry& smartService, uint8_t logAddress,
                        std::span<uint8_t, kPageSize> page) override;

  // The 16-byte command block for SMART READ LOG of one sector.
  static std::array<uint8_t, 16> readLogCommand(uint8_t logAddress);

 private:
  std::filesystem::path devRoot_;
};

}  // namespace drive
