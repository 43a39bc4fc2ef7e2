// Plain `diskutil info` reports ("Key: value" lines) and disk size texts.
#include "DiskReportFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::inspectReport(fuzz::bytesOf(data, size), fuzz::ReportForm::kText);
  return 0;
}
