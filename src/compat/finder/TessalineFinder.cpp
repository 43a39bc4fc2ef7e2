#include "compat/finder/TessalineFinder.h"

namespace finder {

TessalineFinder::TessalineFinder() : TessalineFinder(drive::DriveServices::shared()) {}

TessalineFinder::TessalineFinder(drive::DriveServices& services) : services_(services) {}

void TessalineFinder::setNoTessalineExplain(std::optional<std::string> text) {
  drive::DriveScanner::setExplanation(std::move(text));
}

std::optional<std::string> TessalineFinder::noTessalineExplain() {
  return drive::DriveScanner::explanation();
}

uint32_t TessalineFinder::getABUInt32FromOSData(const drive::RegistryValue& value) {
  return drive::DriveScanner::uint32FromData(value);
}

bool TessalineFinder::namesBothWords(const std::string& text) {
  return drive::DriveScanner::namesBothWords(text);
}

bool TessalineFinder::mediaNameIsTessaline(const std::string& name) {
  return drive::DriveScanner::mediaNameIsTessaline(name);
}

void TessalineFinder::awakeFromNib() {
  removeAllItems();
  loadButtonContents();
}

void TessalineFinder::loadButtonContents() {
  scan_ = drive::DriveScanner(services_).scan();
  if (scan_.drives.empty()) return;
  removeAllItems();
  for (const drive::ScannedVolume& volume : scan_.offered()) {
    addItemWithTitle(volume.title);
    ui::PopupItem& item = lastItem();
    item.tag = volume.refNum;
    item.imageName = volume.mountPoint.empty() ? "" : kVolumeImageName;
    item.enabled = volume.usable;
    item.toolTip = volume.reason;
  }
  if (scan_.selected >= 0)
    selectItemWithTag(scan_.volumes[static_cast<size_t>(scan_.selected)].refNum);
}

std::string TessalineFinder::getPathForDiskID(int64_t refNum) {
  drive::DriveServices& services = drive::DriveServices::shared();
  if (!services.volumes) return "";
  return getPathForDiskID(refNum, *services.volumes);
}

std::string TessalineFinder::getPathForDiskID(int64_t refNum, drive::VolumeTable& volumes) {
  return drive::DriveScanner::folderForRefNum(refNum, volumes);
}

}  // namespace finder
