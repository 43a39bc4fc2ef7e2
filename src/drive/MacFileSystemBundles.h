// The Mac layout of installed file systems: every folder "<name>.fs" at
// any depth below the bundle folder is a bundle; its description is
// Contents/Info.plist (XML or binary property list), and its localised
// view replaces top-level keys with those of InfoPlist.strings from
// Contents/Resources/English.lproj or en.lproj (a property list, XML or
// binary, possibly UTF-16 with a byte-order mark; a strings file in the
// "key" = "value"; form can only carry texts and so never replaces
// "FSPersonalities").
//
// Thread: see FileSystemBundleSource.h.
// Errors: a bundle folder that cannot be listed is reported as not
// opened; an unreadable or malformed Info.plist gives missing views.
#pragma once

#include <string>

#include "drive/FileSystemBundleSource.h"

namespace drive {

class MacFileSystemBundles : public FileSystemBundleSource {
 public:
  static constexpr const char* kBundleFolder = "/System/Library/Filesystems";
  // The NTFS-3G driver's settings on a Mac: a property list named after
  // the driver in /Library/Preferences.
  static constexpr const char* kNtfs3gSettings = "/Library/Preferences/ntfs-3g.plist";

  MacFileSystemBundles(std::string bundleFolder = kBundleFolder,
                       std::string ntfs3gSettings = kNtfs3gSettings);

  std::vector<FSBundleDescription> bundles() override;
  bool ntfs3gDriverDisabled() override;

  // One bundle's description (public for tests).
  static FSBundleDescription describeBundle(const std::string& bundlePath);

 private:
  std::string folder_;
  std::string settings_;
};

}  // namespace drive
