// The drive scan: finds the attached Tessaline drives and returns their
// mounted volumes as values, judged from what this machine knows about
// them (sysfs, udev, blkid, mountinfo, statvfs; see LinuxDiskInfo.h),
// without starting a process. The command line's `drives`, the window
// and the export's drive choice read it directly; TessalineFinder shows
// it in its popup for scripts.
//
// A drive is recognised by its medium's name ("Marovex ... Media" naming
// both "Vextra" and "Tessaline"), or behind a PCI-tunnelled adapter with
// subsystem IDs 1C2E/2301 by its SMART log page 0x88 naming both words.
// A volume belongs to a recognised disk when it is that disk itself or
// one of its partitions as sysfs records them. A volume is usable when it
// is writable and its file system suits the export (VolumeJudgement.h).
//
// The scan also decides what the drive popup offers: titles (a repeated
// name numbered from 2), the reason shown for each volume, the
// remembered volume ("tessaline_disk_name"; stored as the first volume
// met when none is) preselected when usable, and the explanation of why
// no usable volume is offered, kept process-wide for the scripts' finder.
// When no volume is usable the popup offers none (offered() is empty).
//
// Ownership: the scanner does not own its services (default: the shared
// bundle); they must outlive it. A scan's result owns its values.
// Thread: one scan at a time per services bundle; the process-wide
// explanation is guarded.
// Errors: nothing is thrown; what cannot be read leaves a drive or a
// volume out. "loadButtonContents iterator creation failed" is logged
// when the disks cannot be listed, and the SMART reader's Status message
// (what, which device, why) when a log page cannot be read. A drive
// whose log page the system refused to read (ATA PASS-THROUGH needs root
// or CAP_SYS_RAWIO) is listed as unidentified with the reason in words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "drive/DriveServices.h"
#include "drive/RegistryValue.h"

namespace drive {

struct ScannedVolume {
  std::string title;       // as offered: the name, "Name (2)" when repeated
  std::string name;        // the file system's label, else the mount folder's name
  std::string device;      // kernel block device name, "sdb1"
  std::string mountPoint;  // absolute, as mounted
  int16_t refNum = 0;      // the volume table's reference number (the popup tag)
  VolumeVerdict facts;     // file system, sizes, cluster size, UUID, verdicts
  bool usable = false;     // writable and suited to the export
  std::string reason;      // why it can or cannot be chosen, for the user

  // The mount point ending in "/"; "" when there is none.
  std::string folder() const;
};

struct UnidentifiedDrive {
  std::string device;  // whole-disk name, "sdb"
  std::string reason;  // what happened and what to do, for the user
};

struct DriveScan {
  bool disksListed = false;         // false: the disks could not be listed
  std::vector<std::string> drives;  // whole-disk names recognised
  std::vector<UnidentifiedDrive> unidentified;
  std::vector<ScannedVolume> volumes;  // every volume of a recognised drive
  int selected = -1;                   // the preselected volume's index, -1 for none
  std::string explanation;             // why no usable volume is offered

  bool anyUsable() const;
  // What the popup offers: every volume when one is usable, else none.
  std::vector<ScannedVolume> offered() const;
  // Index of the volume with this title, -1 when none.
  int indexOfTitle(const std::string& title) const;
};

class DriveScanner {
 public:
  static constexpr const char* kPreferenceKey = "tessaline_disk_name";
  static constexpr uint32_t kAdapterSubsystemVendorId = 0x1C2E;
  static constexpr uint32_t kAdapterSubsystemId = 0x2301;
  // The image shown beside a mounted volume: the icon theme's removable drive.
  static constexpr const char* kVolumeImageName = "drive-removable-media";

  DriveScanner();  // works through DriveServices::shared()
  explicit DriveScanner(DriveServices& services);

  // Recognises the drives; lists and judges their volumes only when at
  // least one drive is recognised. Sets the process-wide explanation.
  DriveScan scan();

  // The mount path, ending in "/", of the volume with this reference
  // number (taken as a signed 16-bit value) after a fresh look; "" when
  // there is none.
  static std::string folderForRefNum(int64_t refNum, VolumeTable& volumes);

  static void setExplanation(std::optional<std::string> text);
  // None before the first scan.
  static std::optional<std::string> explanation();

  // Exactly 4 bytes of data as a little-endian unsigned 32-bit number; 0
  // for any other value.
  static uint32_t uint32FromData(const RegistryValue& value);
  // The name test on a whole-disk medium's name (case-sensitive).
  static bool mediaNameIsTessaline(const std::string& name);
  // Both words the medium name or the log page's model name must contain.
  static bool namesBothWords(const std::string& text);

 private:
  enum class Identification { kNotTessaline, kTessaline, kNotPermitted };

  void findDrives(DriveScan& scan);
  Identification identifyByLogPage(const RegistryEntry& medium);
  bool onDrive(const DriveScan& scan, const std::string& device);
  void addVolumes(DriveScan& scan);
  std::string reasonFor(const ScannedVolume& volume) const;

  DriveServices& services_;
};

}  // namespace drive
