// A file system source made of literal bundles, for catalogue tests.
#pragma once

#include <utility>
#include <vector>

#include "drive/FileSystemBundleSource.h"

namespace drive::fakes {

class FakeFileSystemSource : public FileSystemBundleSource {
 public:
  std::vector<FSBundleDescription> bundles() override { return bundles_; }
  bool ntfs3gDriverDisabled() override { return disabled_; }

  // A bundle whose raw and localised views are the same.
  FakeFileSystemSource& add(const std::string& path, FSPersonalityList list) {
    FSBundleDescription d;
    d.path = path;
    d.descriptionPath = path + "/Contents/Info.plist";
    d.rawPersonalities = list;
    d.bundlePersonalities = std::move(list);
    bundles_.push_back(std::move(d));
    return *this;
  }
  FakeFileSystemSource& addDescription(FSBundleDescription d) {
    bundles_.push_back(std::move(d));
    return *this;
  }
  void setDisabled(bool disabled) { disabled_ = disabled; }

  static FSPersonality formatter(const char* hint, const char* name, const char* exe = "mkfs") {
    FSPersonality p;
    if (hint) p.formatContentMask = hint;
    if (exe) p.formatExecutable = exe;
    if (name) p.name = name;
    return p;
  }

 private:
  std::vector<FSBundleDescription> bundles_;
  bool disabled_ = false;
};

}  // namespace drive::fakes
