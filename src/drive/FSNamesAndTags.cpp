#include "drive/FSNamesAndTags.h"

#include <mutex>

#include "platform/LocalizedStrings.h"
#include "platform/Log.h"
#include "shell/FailureContainment.h"
#include "shell/stAutoReleasePool.h"

namespace drive {
namespace {

std::recursive_mutex g_creationLock;
FSNamesAndTags* singleton_fsNamesAndTags = nullptr;
std::shared_ptr<FileSystemBundleSource> g_sourceForTesting;

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

}  // namespace

FSNamesAndTags::FSNamesAndTags(std::shared_ptr<FileSystemBundleSource> source)
    : source_(std::move(source)) {}

FSNamesAndTags* FSNamesAndTags::sharedManager() {
  std::lock_guard<std::recursive_mutex> lock(g_creationLock);
  shell::logAndContinue("exeception within FAT32FormatName sharedManager Exception: %@ Reason: %@",
                        [] {
                          if (singleton_fsNamesAndTags == nullptr) allocWithZone();
                        });
  return singleton_fsNamesAndTags;
}

FSNamesAndTags* FSNamesAndTags::allocWithZone() {
  std::lock_guard<std::recursive_mutex> lock(g_creationLock);
  if (singleton_fsNamesAndTags != nullptr) return nullptr;
  auto source = g_sourceForTesting ? g_sourceForTesting : FileSystemBundleSource::defaultSource();
  // Shared before it is filled, so that a scan that fails half way still
  // leaves the one instance in place rather than a second attempt later.
  singleton_fsNamesAndTags = new FSNamesAndTags(std::move(source));
  singleton_fsNamesAndTags->scanFSDir();
  return singleton_fsNamesAndTags;
}

void FSNamesAndTags::setSourceForTesting(std::shared_ptr<FileSystemBundleSource> source) {
  std::lock_guard<std::recursive_mutex> lock(g_creationLock);
  g_sourceForTesting = std::move(source);
}

std::unique_ptr<FSNamesAndTags> FSNamesAndTags::makeUnshared(
    std::shared_ptr<FileSystemBundleSource> source) {
  std::unique_ptr<FSNamesAndTags> catalogue(new FSNamesAndTags(std::move(source)));
  catalogue->scanFSDir();
  return catalogue;
}

void FSNamesAndTags::scanFSDir() {
  shell::stAutoReleasePool pool;
  if (!source_) return;
  for (const FSBundleDescription& bundle : source_->bundles()) {
    platform::logFormat("scanFSDir examining file system at %@", bundle.path);
    if (!bundle.opened) continue;
    if (!bundle.rawPersonalities || !bundle.bundlePersonalities) {
      platform::logFormat("scanFSDir missing personalities at %@", bundle.descriptionPath);
      continue;
    }
    for (const auto& [personality, raw] : *bundle.rawPersonalities) {
      const FSPersonality* shown = nullptr;
      for (const auto& [name, p] : *bundle.bundlePersonalities) {
        if (name == personality) shown = &p;
      }
      if (shown == nullptr) continue;
      platform::logFormat("scanFSDir found personalities for key %@", personality);
      bool canFormat = raw.formatExecutable && !raw.formatExecutable->empty();
      if (canFormat && personality == kNtfs3gPersonality && source_->ntfs3gDriverDisabled()) {
        canFormat = false;
      }
      if (!shown->name) continue;
      Entry entry{raw.formatContentMask, *shown->name, canFormat, personality};
      if (raw.formatContentMask) {
        platform::logFormat("scanFSDir setting dictionary entries for key %@", personality);
        nameLookup_[entry.name] = entry;
        tagLookup_[*raw.formatContentMask] = entry;
      }
      personalityLookup_[personality] = std::move(entry);
    }
  }
}

std::string FSNamesAndTags::unknownName() const {
  return platform::LocalizedStrings::shared().lookup("unknown FS", "Unknown File System");
}

std::string FSNamesAndTags::userFSNameForPersonality(const std::string& personality) const {
  auto it = personalityLookup_.find(personality);
  if (it != personalityLookup_.end()) return it->second.name;
  platform::logFormat("userFSNameForPersonality failed lookup for key %@", personality);
  return unknownName();
}

std::string FSNamesAndTags::userFSNameForContentHint(const std::string& contentHint) const {
  auto it = tagLookup_.find(contentHint);
  if (it != tagLookup_.end()) return it->second.name;
  platform::logFormat("userFSNameForContentHint failed lookup for key %@", contentHint);
  return unknownName();
}

bool FSNamesAndTags::personalityIsFormattable(const std::string& personality) const {
  auto it = personalityLookup_.find(personality);
  return it != personalityLookup_.end() && it->second.canFormat;
}

bool FSNamesAndTags::contentHintIsFormattable(const std::string& contentHint) const {
  auto it = tagLookup_.find(contentHint);
  return it != tagLookup_.end() && it->second.canFormat;
}

std::optional<std::string> FSNamesAndTags::ntfsFormatterName() const {
  std::optional<std::string> choice;
  for (const auto& [name, entry] : personalityLookup_) {
    if (!isNtfsName(name)) continue;
    if (name == kNtfs3gPersonality && source_ && source_->ntfs3gDriverDisabled()) continue;
    if (!entry.canFormat) continue;
    if (!choice || characterCount(name) < characterCount(*choice)) choice = name;
  }
  return choice;
}

std::string FSNamesAndTags::preferredFormatterName() const {
  auto ntfs = ntfsFormatterName();
  return ntfs ? *ntfs : fat32FormatterName();
}

bool FSNamesAndTags::useFAT32Formatter() const {
  return fat32FormatterName() == preferredFormatterName();
}

}  // namespace drive
