// The process-wide catalogue of installed file systems: display names by
// personality and by partition content hint, whether each can format
// (and so write) a volume, the preferred formatter (a usable NTFS one,
// else "MS-DOS FAT32"), and the output volume name "Corvane".
//
// The catalogue is filled once, when the single instance is created, from
// a FileSystemBundleSource (FileSystemBundleSource.h: the Mac bundle
// layout or this Linux machine's drivers and formatters). File systems
// installed or switched off later are not seen until the next start;
// only the NTFS-3G "DisableDriver" switch is read again when the NTFS
// formatter is chosen.
//
// Thread: sharedManager and allocWithZone may be called from any thread;
// creation is guarded by one recursive lock, the only lock of the
// catalogue. After creation the instance is only read.
// Ownership: the shared instance is never freed; a copy is the instance
// itself.
// Errors: a framework exception during creation is logged with the line
// "exeception within FAT32FormatName sharedManager Exception: %@ Reason:
// %@" and sharedManager returns whatever instance exists (possibly null,
// possibly partly filled). Failed lookups log one line and give the
// localised "unknown FS" text (default "Unknown File System").
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "drive/FileSystemBundleSource.h"
#include "drive/FileSystemCatalogue.h"

namespace finder {

class FSNamesAndTags {
 public:
  // The shared instance, created (and scanned) on first request.
  static FSNamesAndTags* sharedManager();
  // Creates the shared instance when there is none and returns it;
  // returns null when it already exists: there is never a second one.
  static FSNamesAndTags* allocWithZone();

  // Tests: the source the shared instance will be created from (when it
  // does not exist yet); null restores the default source.
  static void setSourceForTesting(std::shared_ptr<drive::FileSystemBundleSource> source);
  // A private catalogue from `source`, outside the shared one: for tests,
  // and as the empty stand-in (null source) when the shared one cannot
  // be made.
  static std::unique_ptr<FSNamesAndTags> makeUnshared(
      std::shared_ptr<drive::FileSystemBundleSource> source);

  FSNamesAndTags* copyWithZone() { return this; }

  std::string userFSNameForPersonality(const std::string& personality) const;
  std::string userFSNameForContentHint(const std::string& contentHint) const;
  bool personalityIsFormattable(const std::string& personality) const;
  bool contentHintIsFormattable(const std::string& contentHint) const;

  std::string fat32FormatterName() const { return kFat32Formatter; }
  std::optional<std::string> ntfsFormatterName() const;
  std::string preferredFormatterName() const;
  std::string preferredFormatterUserName() const { return preferredFormatterName(); }
  bool useFAT32Formatter() const;
  std::string outputVolumeName() const { return kOutputVolumeName; }

  // Reads every bundle of the source into the catalogue.
  void scanFSDir();
  // What the drive layer judges volumes with: the same names.
  const drive::FileSystemCatalogue& catalogue() const { return *catalogue_; }

  // The shared instance, or an empty catalogue (which knows no name and
  // formats nothing) when it cannot be made.
  static const FSNamesAndTags& sharedOrEmpty();

  static constexpr const char* kFat32Formatter = "MS-DOS FAT32";
  static constexpr const char* kNtfs3gPersonality = drive::FileSystemCatalogue::kNtfs3gPersonality;
  static constexpr const char* kOutputVolumeName = "Corvane";

  FSNamesAndTags(const FSNamesAndTags&) = delete;
  FSNamesAndTags& operator=(const FSNamesAndTags&) = delete;

 private:
  explicit FSNamesAndTags(std::shared_ptr<drive::FileSystemBundleSource> source);

  std::shared_ptr<drive::FileSystemBundleSource> source_;
  std::unique_ptr<drive::FileSystemCatalogue> catalogue_;
};

}  // namespace finder
