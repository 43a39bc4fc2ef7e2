// TessalineFinder: the popup from which the user picks the Tessaline
// volume to export to. A scan (loadButtonContents) finds the attached
// Tessaline drives, offers each mounted volume of them as one item (tag:
// the volume's reference number), enables the usable ones, explains each
// in its tool tip, preselects the remembered one ("tessaline_disk_name")
// and keeps a process-wide explanation of why no usable volume is offered.
//
// A drive is recognised by its medium's name ("Marovex ... Media" naming
// both "Vextra" and "Tessaline"), or behind a PCI-tunnelled adapter with
// subsystem IDs 1C2E/2301 by its SMART log page 0x88 naming both words.
// A volume belongs to a recognised disk when it is that disk itself or
// one of its partitions as sysfs records them.
//
// Ownership: the finder does not own its services (default: the shared
// bundle); they must outlive it.
// Thread: main thread only; the explanation is an unguarded global.
// Errors: nothing is thrown; what cannot be read leaves a drive or a
// volume out. The one log line is "loadButtonContents iterator creation
// failed" when the disks cannot be listed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "drive/DriveServices.h"
#include "drive/RegistryValue.h"
#include "ui/PopupButton.h"

namespace drive {

class TessalineFinder : public ui::PopupButton {
 public:
  static constexpr const char* kPreferenceKey = "tessaline_disk_name";
  static constexpr uint32_t kAdapterSubsystemVendorId = 0x1C2E;
  static constexpr uint32_t kAdapterSubsystemId = 0x2301;
  // The image of a volume's item: the icon theme's removable drive.
  static constexpr const char* kVolumeImageName = "drive-removable-media";

  TessalineFinder();  // works through DriveServices::shared()
  explicit TessalineFinder(DriveServices& services);

  // Empties the popup, then scans.
  void awakeFromNib();
  void loadButtonContents();

  static void setNoTessalineExplain(std::optional<std::string> text);
  // None before the first scan.
  static std::optional<std::string> noTessalineExplain();

  // The mount path, ending in "/", of the volume with this reference
  // number (taken as a signed 16-bit value); "" when there is none.
  static std::string getPathForDiskID(int64_t refNum);
  static std::string getPathForDiskID(int64_t refNum, VolumeTable& volumes);

  // Exactly 4 bytes of data as a little-endian unsigned 32-bit number; 0
  // for any other value.
  static uint32_t getABUInt32FromOSData(const RegistryValue& value);

  // The name test on a whole-disk medium's name (case-sensitive).
  static bool mediaNameIsTessaline(const std::string& name);
  // Both words the medium name or the log page's model name must contain.
  static bool namesBothWords(const std::string& text);

  // The whole-disk names recognised by the last scan's first half.
  const std::vector<std::string>& candidates() const { return candidates_; }

 private:
  std::vector<std::string> findCandidateDisks();
  bool identifiedByLogPage(const RegistryEntry& medium);
  bool onCandidateDisk(const std::string& device);
  void addVolumes();

  DriveServices& services_;
  std::vector<std::string> candidates_;
};

}  // namespace drive
