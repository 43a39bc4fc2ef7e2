#include "base/ByteCountText.h"

#include "base/Format.h"
#include "base/LocalizedStrings.h"

namespace base {

ScaledByteCount scaleByteCount(double b) {
  constexpr double kKiB = 1024.0;
  constexpr double kMiB = kKiB * 1024.0;
  constexpr double kGiB = kMiB * 1024.0;
  constexpr double kTiB = kGiB * 1024.0;
  // Written as "less than" tests in order, so that NaN falls through to
  // the last row.
  if (b < 2 * kKiB) return {"sbFormat", b};
  if (b < 2 * kMiB) return {"KBFormat", b / kKiB};
  if (b < 2 * kGiB) return {"MBFormat", b / kMiB};
  if (b < 2 * kTiB) return {"GBFormat", b / kGiB};
  return {"TBFormat", b / kTiB};
}

std::string byteCountText(double bytes) {
  ScaledByteCount scaled = scaleByteCount(bytes);
  return format(localizedString(scaled.key), scaled.value);
}

}  // namespace base
