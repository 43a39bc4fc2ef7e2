// Where the file system catalogue (FSNamesAndTags) learns which file
// systems this machine has: a list of bundle descriptions, each with its
// named personalities, plus the NTFS-3G driver's "DisableDriver" switch.
//
// Two backends:
//   - MacFileSystemBundles: bundle folders <dir>/<name>.fs with
//     Contents/Info.plist (and a localised InfoPlist.strings);
//   - LinuxFileSystems: what this Linux machine can mount (kernel and
//     FUSE drivers) and the formatters it has installed, described with
//     the Mac's personality and content names.
// defaultSource() picks the Mac layout when <root>/System/Library/
// Filesystems exists and the Linux one otherwise; <root> is the folder
// the configured fake machine (base::Configuration::fakeHardware,
// for tests and demos), or "/".
//
// Thread: a source is used by one thread at a time (the catalogue's scan
// under its creation lock, then ntfs3gDriverDisabled from the main
// thread).
// Errors: nothing is thrown for missing or unreadable files; they simply
// contribute no bundle, or a bundle whose views are missing.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace drive {

// The keys the catalogue reads of one personality.
struct FSPersonality {
  std::optional<std::string> formatContentMask;  // "FSFormatContentMask"
  std::optional<std::string> formatExecutable;   // "FSFormatExecutable"
  std::optional<std::string> name;               // "FSName"
};

// Personalities in the order their description lists them.
using FSPersonalityList = std::vector<std::pair<std::string, FSPersonality>>;

struct FSBundleDescription {
  std::string path;             // the bundle, for the log
  std::string descriptionPath;  // its description file, for the log
  bool opened = true;           // false: the bundle could not be opened
  // "FSPersonalities" of the description file as it stands.
  std::optional<FSPersonalityList> rawPersonalities;
  // "FSPersonalities" as the bundle presents it (localised names).
  std::optional<FSPersonalityList> bundlePersonalities;
};

class FileSystemBundleSource {
 public:
  virtual ~FileSystemBundleSource() = default;

  // Every bundle, in the order the catalogue is to read them.
  virtual std::vector<FSBundleDescription> bundles() = 0;

  // True when the NTFS-3G settings file exists and its "DisableDriver"
  // value is the text "1". Read afresh on every call.
  virtual bool ntfs3gDriverDisabled() = 0;

  static std::shared_ptr<FileSystemBundleSource> defaultSource();

  // The machine root: the configured fake machine, else "/".
  static std::string machineRoot();

  // Reads a settings property list and tells whether its "DisableDriver"
  // is the text "1".
  static bool settingsDisableDriver(const std::string& path);
};

}  // namespace drive
