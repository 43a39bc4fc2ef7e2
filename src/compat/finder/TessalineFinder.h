// TessalineFinder: the popup from which a script's user picks the
// Tessaline volume to export to. A scan (loadButtonContents) runs the
// drive scan (DriveScanner.h) and presents what it found: each offered
// volume as one item (tag: the volume's reference number), enabled when
// usable, explained in its tool tip, the remembered one preselected. The
// explanation of why no usable volume is offered is the scanner's
// process-wide one. When no drive is recognised the items stay as they
// were.
//
// Ownership: the finder does not own its services (default: the shared
// bundle); they must outlive it.
// Thread: main thread only.
// Errors: nothing is thrown; see DriveScanner.h for what is logged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compat/ui/PopupButton.h"
#include "drive/DriveScanner.h"
#include "drive/DriveServices.h"
#include "drive/RegistryValue.h"

namespace finder {

class TessalineFinder : public ui::PopupButton {
 public:
  static constexpr const char* kPreferenceKey = drive::DriveScanner::kPreferenceKey;
  static constexpr uint32_t kAdapterSubsystemVendorId =
      drive::DriveScanner::kAdapterSubsystemVendorId;
  static constexpr uint32_t kAdapterSubsystemId = drive::DriveScanner::kAdapterSubsystemId;
  static constexpr const char* kVolumeImageName = drive::DriveScanner::kVolumeImageName;

  TessalineFinder();  // works through DriveServices::shared()
  explicit TessalineFinder(drive::DriveServices& services);

  // Empties the popup, then scans.
  void awakeFromNib();
  void loadButtonContents();

  static void setNoTessalineExplain(std::optional<std::string> text);
  // None before the first scan.
  static std::optional<std::string> noTessalineExplain();

  // The mount path, ending in "/", of the volume with this reference
  // number (taken as a signed 16-bit value); "" when there is none.
  static std::string getPathForDiskID(int64_t refNum);
  static std::string getPathForDiskID(int64_t refNum, drive::VolumeTable& volumes);

  static uint32_t getABUInt32FromOSData(const drive::RegistryValue& value);
  static bool mediaNameIsTessaline(const std::string& name);
  static bool namesBothWords(const std::string& text);

  // The last scan's recognised whole disks, and the drives behind the
  // adapter it could not identify.
  const std::vector<std::string>& candidates() const { return scan_.drives; }
  using UnidentifiedDrive = drive::UnidentifiedDrive;
  const std::vector<drive::UnidentifiedDrive>& unidentified() const { return scan_.unidentified; }

 private:
  drive::DriveServices& services_;
  drive::DriveScan scan_;
};

}  // namespace finder
