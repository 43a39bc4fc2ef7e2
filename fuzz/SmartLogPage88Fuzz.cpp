// The identification page: the input's first 512 bytes, zero-padded.
#include <array>
#include <cstring>

#include "FuzzSupport.h"
#include "drive/MarovexSmartLogPage88.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  std::array<uint8_t, drive::MarovexLog88::kPageSize> page{};
  std::memcpy(page.data(), data, std::min(size, page.size()));
  drive::MarovexLog88 log(page);
  (void)log.hasSignature();
  (void)log.textsFitTheirFields();
  (void)log.vendorId();
  (void)log.modelId();
  (void)log.vendorIdentification();
  (void)log.serialNumber();
  (void)log.modelName();
  for (const auto& [key, value] : log.driveDictionary()) (void)value.description();
  return 0;
}
