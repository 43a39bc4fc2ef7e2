#include "compat/finder/FSNamesAndTags.h"

#include <mutex>

#include "base/Log.h"
#include "compat/shell/FailureContainment.h"
#include "compat/shell/stAutoReleasePool.h"

namespace finder {
namespace {

std::recursive_mutex g_creationLock;
FSNamesAndTags* singleton_fsNamesAndTags = nullptr;
std::shared_ptr<drive::FileSystemBundleSource> g_sourceForTesting;

}  // namespace

FSNamesAndTags::FSNamesAndTags(std::shared_ptr<drive::FileSystemBundleSource> source)
    : source_(std::move(source)),
      catalogue_(std::make_unique<drive::FileSystemCatalogue>(nullptr)) {}

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
  auto source =
      g_sourceForTesting ? g_sourceForTesting : drive::FileSystemBundleSource::defaultSource();
  // Shared before it is filled, so that a scan that fails half way still
  // leaves the one instance in place rather than a second attempt later.
  singleton_fsNamesAndTags = new FSNamesAndTags(std::move(source));
  singleton_fsNamesAndTags->scanFSDir();
  return singleton_fsNamesAndTags;
}

void FSNamesAndTags::setSourceForTesting(std::shared_ptr<drive::FileSystemBundleSource> source) {
  std::lock_guard<std::recursive_mutex> lock(g_creationLock);
  g_sourceForTesting = std::move(source);
}

std::unique_ptr<FSNamesAndTags> FSNamesAndTags::makeUnshared(
    std::shared_ptr<drive::FileSystemBundleSource> source) {
  std::unique_ptr<FSNamesAndTags> catalogue(new FSNamesAndTags(std::move(source)));
  catalogue->scanFSDir();
  return catalogue;
}

void FSNamesAndTags::scanFSDir() {
  shell::stAutoReleasePool pool;
  catalogue_ = std::make_unique<drive::FileSystemCatalogue>(source_, true);
}

const FSNamesAndTags& FSNamesAndTags::sharedOrEmpty() {
  FSNamesAndTags* shared = sharedManager();
  if (shared == nullptr) {
    // Creation failed and was logged.
    static const auto* empty = makeUnshared(nullptr).release();
    return *empty;
  }
  return *shared;
}

std::string FSNamesAndTags::userFSNameForPersonality(const std::string& personality) const {
  return catalogue_->displayNameForPersonality(personality);
}

std::string FSNamesAndTags::userFSNameForContentHint(const std::string& contentHint) const {
  return catalogue_->displayNameForContentHint(contentHint);
}

bool FSNamesAndTags::personalityIsFormattable(const std::string& personality) const {
  return catalogue_->personalityIsFormattable(personality);
}

bool FSNamesAndTags::contentHintIsFormattable(const std::string& contentHint) const {
  return catalogue_->contentHintIsFormattable(contentHint);
}

std::optional<std::string> FSNamesAndTags::ntfsFormatterName() const {
  return catalogue_->ntfsFormatterName();
}

std::string FSNamesAndTags::preferredFormatterName() const {
  auto ntfs = ntfsFormatterName();
  return ntfs ? *ntfs : fat32FormatterName();
}

bool FSNamesAndTags::useFAT32Formatter() const {
  return fat32FormatterName() == preferredFormatterName();
}

}  // namespace finder
