// A byte count as people read it: the localised "sbFormat" below 2 KiB,
// else "KBFormat", "MBFormat", "GBFormat" or "TBFormat" with the count
// scaled to that binary unit. NaN lands in the last row. Kept here, below
// the cells that show it, so that the drive layer can word a volume's
// sizes without depending on the user interface.
//
// Thread: pure functions (reads the shared localised texts).
// Errors: none; a key missing from the texts prints as the key itself.
#pragma once

#include <string>

namespace base {

struct ScaledByteCount {
  const char* key;
  double value;
};

ScaledByteCount scaleByteCount(double bytes);
std::string byteCountText(double bytes);

}  // namespace base
