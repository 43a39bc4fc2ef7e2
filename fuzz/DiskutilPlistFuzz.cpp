// `diskutil info -plist` reports (XML or binary property lists; anything
// else falls through to the text reading, as with a real tool).
#include "DiskReportFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::inspectReport(fuzz::bytesOf(data, size), fuzz::ReportForm::kPropertyList);
  return 0;
}
