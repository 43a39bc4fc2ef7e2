// Preferences kept as a property list (XML or binary on reading, XML on
// writing) holding one dictionary, by default at
// <config home>/tessaline/preferences.plist, the configuration's
// XDG_CONFIG_HOME (~/.config when it is unset or not absolute).
//
// The file is read on every call, so a change made by another instance
// shows at once; a write keeps the other keys and replaces the file
// atomically (temporary file, then rename).
//
// Thread: main thread only.
// Errors: a file that is not a property-list dictionary logs one line,
// reads as empty and is never overwritten; a write that fails logs one
// line and leaves the old file as it was.
#pragma once

#include <filesystem>

#include "drive/Preferences.h"

namespace drive {

class PlistPreferences : public Preferences {
 public:
  explicit PlistPreferences(std::filesystem::path file) : file_(std::move(file)) {}

  static std::filesystem::path defaultPath();

  bool hasValue(const std::string& key) override;
  std::optional<std::string> stringValue(const std::string& key) override;
  void setStringValue(const std::string& key, const std::string& value) override;
  // Forgets the value under `key`; false when there was none or the file
  // could not be written.
  bool removeValue(const std::string& key);

  const std::filesystem::path& path() const { return file_; }

 private:
  bool write(void* dict);

  std::filesystem::path file_;
};

}  // namespace drive
