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
// A drive behind the adapter whose log page the system refused to read
// (ATA PASS-THROUGH needs root or CAP_SYS_RAWIO) is listed by
// unidentified() with the reason in words, and its text becomes the
// explanation, which a volume's tool tip may replace later in the scan.
//
// Errors: nothing is thrown; what cannot be read leaves a drive or a
// volume out. The finder logs "loadButtonContents iterator creation
// failed" when the disks cannot be listed, and the SMART reader's Status
// message (what, which device, why) when a log page cannot be read.
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

  struct UnidentifiedDrive {
    std::string device;  // whole-disk name, "sdb"
    std::string reason;  // what happened and what to do, for the user
  };
  // The drives behind the adapter that the last scan could not identify.
  const std::vector<UnidentifiedDrive>& unidentified() const { return unidentified_; }

 private:
  enum class Identification { kNotTessaline, kTessaline, kNotPermitted };

  std::vector<std::string> findCandidateDisks();
  Identification identifyByLogPage(const RegistryEntry& medium);
  bool onCandidateDisk(const std::string& device);
  void addVolumes();

  DriveServices& services_;
  std::vector<std::string> candidates_;
  std::vector<UnidentifiedDrive> unidentified_;
};

}  // namespace drive
