// The file systems this machine can read and format, as its bundle source
// describes them: display names by personality and by partition content
// hint, whether each can format (and so write) a volume, and the NTFS
// formatter to prefer. Filled once, when made.
//
// Thread: only read after construction; installedFileSystems() may be
// asked from any thread, its provider set before the first drive scan.
// Errors: a bundle that cannot be read is logged and left out.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "drive/FileSystemBundleSource.h"

namespace drive {

class FileSystemCatalogue {
 public:
  // Reads every bundle of `source`; a null source gives an empty
  // catalogue, which knows no name and formats nothing. With `logScan`,
  // each bundle looked at is logged ("scanFSDir ..."), as the script
  // bridge's catalogue has always done.
  explicit FileSystemCatalogue(std::shared_ptr<FileSystemBundleSource> source,
                               bool logScan = false);

  std::optional<std::string> nameForPersonality(const std::string& personality) const;
  std::optional<std::string> nameForContentHint(const std::string& contentHint) const;
  // The name to show: the catalogue's, else (logged) "Unknown File System".
  std::string displayNameForPersonality(const std::string& personality) const;
  std::string displayNameForContentHint(const std::string& contentHint) const;
  bool personalityIsFormattable(const std::string& personality) const;
  bool contentHintIsFormattable(const std::string& contentHint) const;
  // The usable NTFS formatter with the shortest name, if any.
  std::optional<std::string> ntfsFormatterName() const;

  static constexpr const char* kNtfs3gPersonality = "NTFS-3G";

 private:
  struct Entry {
    std::optional<std::string> contentHint;  // "FSFormatContentMask"
    std::string name;                        // "FSName"
    bool canFormat = false;                  // "FSCanFormat"
  };

  std::shared_ptr<FileSystemBundleSource> source_;
  std::map<std::string, Entry> tagLookup_;          // content hint -> entry
  std::map<std::string, Entry> personalityLookup_;  // personality -> entry
};

// This machine's file systems, read on first use; or, once a provider is
// set (the script bridge's own catalogue, whose first scan its transcripts
// record), what the provider gives.
const FileSystemCatalogue& installedFileSystems();
void provideInstalledFileSystems(const FileSystemCatalogue& (*provider)());

}  // namespace drive
