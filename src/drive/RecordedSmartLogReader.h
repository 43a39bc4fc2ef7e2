// SMART log pages recorded as files, for a fake hardware tree: the page
// at log address 0xNN of the disk "sdb" is the file
// <pagesDir>/sdb/log-NN (two lower-case hex digits), exactly 512 bytes.
// The disk is found below the SMART-capable registry entry exactly as the
// live reader finds it.
//
// A recording that holds the text "EPERM" instead of a page stands for a
// read the kernel refused (a user without CAP_SYS_RAWIO): it answers the
// live reader's Status, "cannot read SMART log 0x88 of <file>: Operation
// not permitted".
//
// Thread: one reader per thread.
// Errors: a missing file or one of another size answers a failed Status
// naming the file.
#pragma once

#include <filesystem>

#include "drive/SmartLogReader.h"

namespace drive {

class RecordedSmartLogReader : public SmartLogReader {
 public:
  explicit RecordedSmartLogReader(std::filesystem::path pagesDir)
      : pagesDir_(std::move(pagesDir)) {}

  base::Status readLogAtAddress(const RegistryEntry& smartService, uint8_t logAddress,
                                std::span<uint8_t, kPageSize> page) override;

  static std::string pageFileName(uint8_t logAddress);

 private:
  std::filesystem::path pagesDir_;
};

}  // namespace drive
