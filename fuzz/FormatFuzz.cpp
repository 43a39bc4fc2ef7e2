// The %@ formatter: the format text and its arguments both come from the
// input. FuzzedDataProvider takes the number of arguments (0..7) and their
// kinds from the input's end, argument texts from its start, and the rest
// is the format.
#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzSupport.h"
#include "base/Format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  FuzzedDataProvider in(data, size);
  std::vector<base::FormatArg> args;
  size_t count = in.ConsumeIntegralInRange<size_t>(0, 7);
  for (size_t i = 0; i < count; ++i) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
        args.emplace_back(in.ConsumeRandomLengthString(64));
        break;
      case 1:
        args.emplace_back(in.ConsumeIntegral<int64_t>());
        break;
      case 2:
        args.emplace_back(in.ConsumeIntegral<uint64_t>());
        break;
      case 3:
        args.emplace_back(in.ConsumeFloatingPoint<double>());
        break;
      case 4:
        args.emplace_back(base::Value());
        break;
      default:
        args.emplace_back(in.ConsumeBool());
        break;
    }
  }
  std::string fmt = in.ConsumeRemainingBytesAsString();
  (void)base::formatv(fmt, args);
  return 0;
}
