// The mounted-volume table on an input mountinfo file, inside a copy of
// the fake hardware tree (its sysfs links and disk labels), never /proc.
#include "FuzzSupport.h"
#include "drive/MountinfoVolumeTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quietLog();
  const fuzz::ScratchDir& hw = fuzz::fakeHardware();
  std::string_view text = fuzz::bytesOf(data, size);
  hw.write("proc/self/mountinfo", text);
  drive::MountinfoVolumeTable table(hw.root() / "proc", hw.root() / "sys", hw.root() / "dev");
  table.rescan();
  drive::MountedVolume volume;
  int16_t last = 0;
  for (int i = 1; table.volumeAtIndex(i, &volume) != drive::VolumeTable::kNoSuchVolume; ++i) {
    last = volume.refNum;
  }
  if (last != 0) (void)table.rootPathForRefNum(last);
  (void)drive::MountinfoVolumeTable::unescapeOctal(std::string(text));
  (void)drive::MountinfoVolumeTable::unescapeHex(std::string(text));
  return 0;
}
