// The mounted-volume table on an input mountinfo text, with the devices
// and disk labels of a copy of the fake hardware tree, never /proc. The
// text is handed over in memory: the file's reading is a plain bounded
// read, and writing a file per input would cost most of the time.
#include "FuzzSupport.h"
#include "base/Text.h"
#include "drive/MountinfoVolumeTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  const fuzz::ScratchDir& hw = fuzz::fakeHardware();
  std::string_view text = fuzz::bytesOf(data, size);
  drive::MountinfoVolumeTable table(hw.root() / "proc", hw.root() / "sys", hw.root() / "dev");
  table.rescanText(text);
  drive::MountedVolume volume;
  for (int i = 1; table.volumeAtIndex(i, &volume) != drive::VolumeTable::kNoSuchVolume; ++i) {
  }
  (void)base::text::unescapeOctal(text);
  (void)base::text::unescapeHex(text);
  return 0;
}
