#include "drive/DriveScanner.h"

#include <algorithm>
#include <array>

#include "base/ByteCountText.h"
#include "base/Format.h"
#include "base/Guarded.h"
#include "base/LocalizedStrings.h"
#include "base/Log.h"
#include "drive/MarovexSmartLogPage88.h"

namespace drive {
namespace {

base::Guarded<std::optional<std::string>>& lastExplanation() {
  static base::Guarded<std::optional<std::string>> text;
  return text;
}

bool contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

}  // namespace

std::string ScannedVolume::folder() const {
  if (mountPoint.empty()) return "";
  return mountPoint.back() == '/' ? mountPoint : mountPoint + "/";
}

bool DriveScan::anyUsable() const {
  return std::any_of(volumes.begin(), volumes.end(), [](const auto& v) { return v.usable; });
}

std::vector<ScannedVolume> DriveScan::offered() const {
  return anyUsable() ? volumes : std::vector<ScannedVolume>();
}

int DriveScan::indexOfTitle(const std::string& title) const {
  for (size_t i = 0; i < volumes.size(); ++i) {
    if (volumes[i].title == title) return static_cast<int>(i);
  }
  return -1;
}

DriveScanner::DriveScanner() : DriveScanner(DriveServices::shared()) {}

DriveScanner::DriveScanner(DriveServices& services) : services_(services) {}

void DriveScanner::setExplanation(std::optional<std::string> text) {
  lastExplanation().set(std::move(text));
}

std::optional<std::string> DriveScanner::explanation() { return lastExplanation().get(); }

uint32_t DriveScanner::uint32FromData(const RegistryValue& value) {
  const RegistryValue::Bytes* b = value.bytes();
  if (b == nullptr || b->size() != 4) return 0;
  return uint32_t{(*b)[0]} | uint32_t{(*b)[1]} << 8 | uint32_t{(*b)[2]} << 16 |
         uint32_t{(*b)[3]} << 24;
}

bool DriveScanner::namesBothWords(const std::string& text) {
  return contains(text, "Vextra") && contains(text, "Tessaline");
}

bool DriveScanner::mediaNameIsTessaline(const std::string& name) {
  static const std::string prefix = "Marovex ";
  static const std::string suffix = " Media";
  return name.size() >= prefix.size() + suffix.size() &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
         namesBothWords(name);
}

DriveScan DriveScanner::scan() {
  DriveScan scan;
  scan.explanation = base::localizedString("NoTessalineFound");
  findDrives(scan);
  if (!scan.unidentified.empty()) scan.explanation = scan.unidentified.back().reason;
  if (!scan.drives.empty()) addVolumes(scan);
  setExplanation(scan.explanation);
  return scan;
}

DriveScanner::Identification DriveScanner::identifyByLogPage(const RegistryEntry& medium) {
  // Walk up from the medium's parent: the nearest SMART-capable ancestor
  // is the one to ask, and some ancestor must be the tunnelled adapter.
  std::unique_ptr<RegistryEntry> smartService;
  bool adapterFound = false;
  std::unique_ptr<RegistryEntry> entry = medium.parent();
  while (entry) {
    const RegistryEntry* current = entry.get();
    if (!adapterFound && current->property("IOPCITunnelled").isTrue() &&
        uint32FromData(current->property("subsystem-vendor-id")) == kAdapterSubsystemVendorId &&
        uint32FromData(current->property("subsystem-id")) == kAdapterSubsystemId) {
      adapterFound = true;
    }
    if (!smartService && current->property("SMART Capable").isTrue()) {
      smartService = std::move(entry);  // `current` stays alive in smartService
    }
    if (adapterFound && smartService) break;
    entry = current->parent();
  }
  if (!adapterFound || !smartService || !services_.smart) return Identification::kNotTessaline;

  std::array<uint8_t, MarovexLog88::kPageSize> buffer{};
  base::Status read =
      services_.smart->readLogAtAddress(*smartService, MarovexLog88::kLogAddress, buffer);
  if (!read.ok()) {
    base::logLine(read.message());
    return read.notPermitted() ? Identification::kNotPermitted : Identification::kNotTessaline;
  }
  MarovexLog88 page(buffer);
  // Only the model name is read: a model length that runs into the
  // neighbouring fields makes the page corrupt (the name would be made of
  // other fields' bytes); the vendor text's length does not matter.
  if (!page.hasSignature() || !page.modelNameFitsItsField()) return Identification::kNotTessaline;
  std::optional<std::string> model = page.modelName();
  return model && namesBothWords(*model) ? Identification::kTessaline
                                         : Identification::kNotTessaline;
}

void DriveScanner::findDrives(DriveScan& scan) {
  auto media = services_.registry ? services_.registry->wholeDiskMedia() : std::nullopt;
  if (!media) {
    base::logLine("loadButtonContents iterator creation failed");
    return;
  }
  scan.disksListed = true;
  for (const auto& medium : *media) {
    RegistryValue bsdName = medium->property("BSD Name");
    const std::string* name = bsdName.string();
    if (mediaNameIsTessaline(medium->name()) && name) scan.drives.push_back(*name);
    Identification byLogPage = identifyByLogPage(*medium);
    if (byLogPage == Identification::kTessaline && name) scan.drives.push_back(*name);
    if (byLogPage == Identification::kNotPermitted && name) {
      scan.unidentified.push_back(
          {*name,
           base::format(base::localizedString("TessalineDiskNotPermitted"), "/dev/" + *name)});
    }
  }
}

bool DriveScanner::onDrive(const DriveScan& scan, const std::string& device) {
  auto isDrive = [&](const std::string& disk) {
    return std::find(scan.drives.begin(), scan.drives.end(), disk) != scan.drives.end();
  };
  // A stick without a partition table carries its volume on the whole
  // disk; otherwise the volume's partition must belong to a drive found.
  if (isDrive(device)) return true;
  auto disk = services_.registry->wholeDiskOfPartition(device);
  return disk && isDrive(*disk);
}

std::string DriveScanner::reasonFor(const ScannedVolume& volume) const {
  const VolumeVerdict& v = volume.facts;
  // A volume whose file system is not known still gets a readable text.
  std::string fsText =
      v.fsIsNTFS ? base::localizedString("NTFSFileSystem")
      : v.fsName ? *v.fsName
                 : base::LocalizedStrings::shared().lookup("unknown FS", "Unknown File System");
  if (volume.usable) {
    return base::format(base::localizedString("TessalineDiskOKFormat"), volume.title, fsText,
                        base::byteCountText(static_cast<double>(v.freeBytes.value_or(0))),
                        base::byteCountText(static_cast<double>(v.totalBytes.value_or(0))));
  }
  if (!v.fsIsCompatible) {
    return base::format(base::localizedString("TessalineDiskBadFormat"), volume.title, fsText);
  }
  if (v.fsIsNTFS) {
    return base::format(base::localizedString("TessalineDiskCantWriteNTFS"), volume.title);
  }
  return base::format(base::localizedString("TessalineDiskCantWrite"), volume.title, fsText);
}

void DriveScanner::addVolumes(DriveScan& scan) {
  if (!services_.volumes) return;
  VolumeTable& table = *services_.volumes;
  table.rescan();
  for (int index = 1;; ++index) {
    MountedVolume mounted;
    int status = table.volumeAtIndex(index, &mounted);
    if (status == VolumeTable::kNoSuchVolume) break;
    if (status != VolumeTable::kNoError || mounted.deviceName.empty()) continue;
    if (!onDrive(scan, mounted.deviceName)) continue;

    ScannedVolume volume;
    volume.name = mounted.name;
    volume.device = mounted.deviceName;
    volume.mountPoint = mounted.rootPath;
    volume.refNum = mounted.refNum;
    if (services_.inspector) volume.facts = services_.inspector->inspect(mounted.deviceName);
    volume.usable = volume.facts.fsIsWritable && volume.facts.fsIsCompatible;

    // The first volume met is remembered when none is; the remembered
    // one is preselected only when it can be used.
    std::optional<std::string> remembered;
    if (services_.preferences) {
      if (!services_.preferences->hasValue(kPreferenceKey)) {
        services_.preferences->setStringValue(kPreferenceKey, mounted.name);
        remembered = mounted.name;
      } else {
        remembered = services_.preferences->stringValue(kPreferenceKey);
      }
    }

    volume.title = mounted.name;
    for (int counter = 2; scan.indexOfTitle(volume.title) >= 0; ++counter) {
      volume.title = base::format("%@ (%d)", mounted.name, counter);
    }
    volume.reason = reasonFor(volume);
    if (!volume.usable) scan.explanation = volume.reason;
    if (volume.usable && remembered && *remembered == mounted.name) {
      scan.selected = static_cast<int>(scan.volumes.size());
    }
    scan.volumes.push_back(std::move(volume));
  }
  if (!scan.anyUsable()) scan.selected = -1;
}

std::string DriveScanner::folderForRefNum(int64_t refNum, VolumeTable& volumes) {
  auto path = volumes.rootPathForRefNum(static_cast<int16_t>(refNum));
  if (!path || path->empty()) return "";
  if (path->back() != '/') path->push_back('/');
  return *path;
}

}  // namespace drive
