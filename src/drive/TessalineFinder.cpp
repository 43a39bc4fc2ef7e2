#include "drive/TessalineFinder.h"

#include <algorithm>
#include <array>

#include "drive/MarovexSmartLogPage88.h"
#include "platform/Format.h"
#include "platform/LocalizedStrings.h"
#include "platform/Log.h"
#include "ui/PlaylistSpaceUsageCell.h"

namespace drive {
namespace {

std::optional<std::string>& explanation() {
  static std::optional<std::string> text;
  return text;
}

bool contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

}  // namespace

TessalineFinder::TessalineFinder() : TessalineFinder(DriveServices::shared()) {}

TessalineFinder::TessalineFinder(DriveServices& services) : services_(services) {}

void TessalineFinder::setNoTessalineExplain(std::optional<std::string> text) {
  explanation() = std::move(text);
}

std::optional<std::string> TessalineFinder::noTessalineExplain() { return explanation(); }

uint32_t TessalineFinder::getABUInt32FromOSData(const RegistryValue& value) {
  const RegistryValue::Bytes* b = value.bytes();
  if (b == nullptr || b->size() != 4) return 0;
  return uint32_t{(*b)[0]} | uint32_t{(*b)[1]} << 8 | uint32_t{(*b)[2]} << 16 |
         uint32_t{(*b)[3]} << 24;
}

bool TessalineFinder::namesBothWords(const std::string& text) {
  return contains(text, "Vextra") && contains(text, "Tessaline");
}

bool TessalineFinder::mediaNameIsTessaline(const std::string& name) {
  static const std::string prefix = "Marovex ";
  static const std::string suffix = " Media";
  return name.size() >= prefix.size() + suffix.size() &&
         name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
         namesBothWords(name);
}

void TessalineFinder::awakeFromNib() {
  removeAllItems();
  loadButtonContents();
}

TessalineFinder::Identification TessalineFinder::identifyByLogPage(const RegistryEntry& medium) {
  // Walk up from the medium's parent: the nearest SMART-capable ancestor
  // is the one to ask, and some ancestor must be the tunnelled adapter.
  std::unique_ptr<RegistryEntry> smartService;
  bool adapterFound = false;
  std::unique_ptr<RegistryEntry> entry = medium.parent();
  while (entry) {
    const RegistryEntry* current = entry.get();
    if (!adapterFound && current->property("IOPCITunnelled").isTrue() &&
        getABUInt32FromOSData(current->property("subsystem-vendor-id")) ==
            kAdapterSubsystemVendorId &&
        getABUInt32FromOSData(current->property("subsystem-id")) == kAdapterSubsystemId) {
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
  platform::Status read =
      services_.smart->readLogAtAddress(*smartService, MarovexLog88::kLogAddress, buffer);
  if (!read.ok()) {
    platform::logLine(read.message());
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

std::vector<std::string> TessalineFinder::findCandidateDisks() {
  std::vector<std::string> found;
  auto media = services_.registry ? services_.registry->wholeDiskMedia() : std::nullopt;
  if (!media) {
    platform::logLine("loadButtonContents iterator creation failed");
    return found;
  }
  for (const auto& medium : *media) {
    RegistryValue bsdName = medium->property("BSD Name");
    const std::string* name = bsdName.string();
    if (mediaNameIsTessaline(medium->name()) && name) found.push_back(*name);
    Identification byLogPage = identifyByLogPage(*medium);
    if (byLogPage == Identification::kTessaline && name) found.push_back(*name);
    if (byLogPage == Identification::kNotPermitted && name) {
      unidentified_.push_back(
          {*name, platform::format(platform::localizedString("TessalineDiskNotPermitted"),
                                   "/dev/" + *name)});
    }
  }
  return found;
}

bool TessalineFinder::onCandidateDisk(const std::string& device) {
  auto isCandidate = [&](const std::string& disk) {
    return std::find(candidates_.begin(), candidates_.end(), disk) != candidates_.end();
  };
  // A stick without a partition table carries its volume on the whole
  // disk; otherwise the volume's partition must belong to a candidate.
  if (isCandidate(device)) return true;
  auto disk = services_.registry->wholeDiskOfPartition(device);
  return disk && isCandidate(*disk);
}

void TessalineFinder::loadButtonContents() {
  setNoTessalineExplain(platform::localizedString("NoTessalineFound"));
  unidentified_.clear();
  candidates_ = findCandidateDisks();
  if (!unidentified_.empty()) setNoTessalineExplain(unidentified_.back().reason);
  if (candidates_.empty()) return;

  removeAllItems();
  addVolumes();
}

void TessalineFinder::addVolumes() {
  bool usableFound = false;
  if (!services_.volumes) return;
  VolumeTable& volumes = *services_.volumes;
  volumes.rescan();
  for (int index = 1;; ++index) {
    MountedVolume volume;
    int status = volumes.volumeAtIndex(index, &volume);
    if (status == VolumeTable::kNoSuchVolume) break;
    if (status != VolumeTable::kNoError || volume.deviceName.empty()) continue;
    if (!onCandidateDisk(volume.deviceName)) continue;

    VolumeVerdict verdict =
        services_.inspector ? services_.inspector->inspect(volume.deviceName) : VolumeVerdict();
    bool usable = verdict.fsIsWritable && verdict.fsIsCompatible;
    if (usable) usableFound = true;

    std::optional<std::string> remembered;
    if (services_.preferences) {
      if (!services_.preferences->hasValue(kPreferenceKey)) {
        services_.preferences->setStringValue(kPreferenceKey, volume.name);
        remembered = volume.name;
      } else {
        remembered = services_.preferences->stringValue(kPreferenceKey);
      }
    }
    bool preselect = usable && remembered && *remembered == volume.name;

    std::string title = volume.name;
    for (int counter = 2; indexOfItemWithTitle(title) >= 0; ++counter) {
      title = platform::format("%@ (%d)", volume.name, counter);
    }
    addItemWithTitle(title);
    ui::PopupItem& item = lastItem();
    item.tag = volume.refNum;
    item.imageName = volume.rootPath.empty() ? "" : kVolumeImageName;
    item.enabled = usable;

    // A report that names no file system still gets a readable text.
    std::string fsText = verdict.fsIsNTFS ? platform::localizedString("NTFSFileSystem")
                         : verdict.fsName ? *verdict.fsName
                                          : platform::LocalizedStrings::shared().lookup(
                                                "unknown FS", "Unknown File System");
    if (usable) {
      item.toolTip =
          platform::format(platform::localizedString("TessalineDiskOKFormat"), title, fsText,
                           ui::PlaylistSpaceUsageCell::bytesString(
                               static_cast<double>(verdict.freeBytes.value_or(0))),
                           ui::PlaylistSpaceUsageCell::bytesString(
                               static_cast<double>(verdict.totalBytes.value_or(0))));
    } else {
      if (!verdict.fsIsCompatible) {
        item.toolTip =
            platform::format(platform::localizedString("TessalineDiskBadFormat"), title, fsText);
      } else if (verdict.fsIsNTFS) {
        item.toolTip =
            platform::format(platform::localizedString("TessalineDiskCantWriteNTFS"), title);
      } else {
        item.toolTip =
            platform::format(platform::localizedString("TessalineDiskCantWrite"), title, fsText);
      }
      setNoTessalineExplain(item.toolTip);
    }
    if (preselect) selectItemWithTag(item.tag);
  }
  if (!usableFound) removeAllItems();
}

std::string TessalineFinder::getPathForDiskID(int64_t refNum) {
  DriveServices& services = DriveServices::shared();
  if (!services.volumes) return "";
  return getPathForDiskID(refNum, *services.volumes);
}

std::string TessalineFinder::getPathForDiskID(int64_t refNum, VolumeTable& volumes) {
  auto path = volumes.rootPathForRefNum(static_cast<int16_t>(refNum));
  if (!path || path->empty()) return "";
  if (path->back() != '/') path->push_back('/');
  return *path;
}

}  // namespace drive
