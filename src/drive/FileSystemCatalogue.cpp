#include "drive/FileSystemCatalogue.h"

#include <atomic>
#include <string_view>

#include "base/LocalizedStrings.h"
#include "base/Log.h"

namespace drive {
namespace {

bool isNtfsName(const std::string& name) {
  constexpr std::string_view kNtfs = "NTFS";
  return name.rfind(kNtfs, 0) == 0 ||
         (name.size() >= kNtfs.size() &&
          name.compare(name.size() - kNtfs.size(), kNtfs.size(), kNtfs) == 0);
}

// Length in characters (code points) of UTF-8 text.
size_t characterCount(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

std::string unknownName() {
  return base::LocalizedStrings::shared().lookup("unknown FS", "Unknown File System");
}

}  // namespace

FileSystemCatalogue::FileSystemCatalogue(std::shared_ptr<FileSystemBundleSource> source,
                                         bool logScan)
    : source_(std::move(source)) {
  if (!source_) return;
  for (const FSBundleDescription& bundle : source_->bundles()) {
    if (logScan) base::logFormat("scanFSDir examining file system at %@", bundle.path);
    if (!bundle.opened) continue;
    if (!bundle.rawPersonalities || !bundle.bundlePersonalities) {
      if (logScan) base::logFormat("scanFSDir missing personalities at %@", bundle.descriptionPath);
      continue;
    }
    for (const auto& [personality, raw] : *bundle.rawPersonalities) {
      const FSPersonality* shown = nullptr;
      for (const auto& [name, p] : *bundle.bundlePersonalities) {
        if (name == personality) shown = &p;
      }
      if (shown == nullptr) continue;
      if (logScan) base::logFormat("scanFSDir found personalities for key %@", personality);
      bool canFormat = raw.formatExecutable && !raw.formatExecutable->empty();
      if (canFormat && personality == kNtfs3gPersonality && source_->ntfs3gDriverDisabled()) {
        canFormat = false;
      }
      if (!shown->name) continue;
      Entry entry{raw.formatContentMask, *shown->name, canFormat};
      if (raw.formatContentMask) {
        if (logScan)
          base::logFormat("scanFSDir setting dictionary entries for key %@", personality);
        tagLookup_[*raw.formatContentMask] = entry;
      }
      personalityLookup_[personality] = std::move(entry);
    }
  }
}

std::optional<std::string> FileSystemCatalogue::nameForPersonality(
    const std::string& personality) const {
  auto it = personalityLookup_.find(personality);
  if (it == personalityLookup_.end()) return std::nullopt;
  return it->second.name;
}

std::optional<std::string> FileSystemCatalogue::nameForContentHint(
    const std::string& contentHint) const {
  auto it = tagLookup_.find(contentHint);
  if (it == tagLookup_.end()) return std::nullopt;
  return it->second.name;
}

std::string FileSystemCatalogue::displayNameForPersonality(const std::string& personality) const {
  if (auto name = nameForPersonality(personality)) return *name;
  base::logFormat("userFSNameForPersonality failed lookup for key %@", personality);
  return unknownName();
}

std::string FileSystemCatalogue::displayNameForContentHint(const std::string& contentHint) const {
  if (auto name = nameForContentHint(contentHint)) return *name;
  base::logFormat("userFSNameForContentHint failed lookup for key %@", contentHint);
  return unknownName();
}

bool FileSystemCatalogue::personalityIsFormattable(const std::string& personality) const {
  auto it = personalityLookup_.find(personality);
  return it != personalityLookup_.end() && it->second.canFormat;
}

bool FileSystemCatalogue::contentHintIsFormattable(const std::string& contentHint) const {
  auto it = tagLookup_.find(contentHint);
  return it != tagLookup_.end() && it->second.canFormat;
}

std::optional<std::string> FileSystemCatalogue::ntfsFormatterName() const {
  std::optional<std::string> choice;
  for (const auto& [name, entry] : personalityLookup_) {
    if (!isNtfsName(name)) continue;
    if (name == kNtfs3gPersonality && source_ && source_->ntfs3gDriverDisabled()) continue;
    if (!entry.canFormat) continue;
    if (!choice || characterCount(name) < characterCount(*choice)) choice = name;
  }
  return choice;
}

namespace {
std::atomic<const FileSystemCatalogue& (*)()> g_provider{nullptr};
}  // namespace

void provideInstalledFileSystems(const FileSystemCatalogue& (*provider)()) {
  g_provider.store(provider);
}

const FileSystemCatalogue& installedFileSystems() {
  if (auto provider = g_provider.load()) return provider();
  static const FileSystemCatalogue installed(FileSystemBundleSource::defaultSource());
  return installed;
}

}  // namespace drive
