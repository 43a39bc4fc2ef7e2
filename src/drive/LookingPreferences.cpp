#include "drive/LookingPreferences.h"

#include <map>
#include <memory>
#include <optional>

#include "drive/DriveScanner.h"
#include "drive/DriveServices.h"
#include "drive/PlistPreferences.h"

namespace drive {
namespace {

// The stored preferences as they read, with what a scan would fill in
// kept in memory only: looking at the drives, or at a fake machine's,
// leaves the user's remembered volume as it was.
class LookingPreferences : public Preferences {
 public:
  explicit LookingPreferences(std::unique_ptr<Preferences> stored) : stored_(std::move(stored)) {}
  bool hasValue(const std::string& key) override {
    return held_.count(key) != 0 || (stored_ && stored_->hasValue(key));
  }
  std::optional<std::string> stringValue(const std::string& key) override {
    auto it = held_.find(key);
    if (it != held_.end()) return it->second;
    return stored_ ? stored_->stringValue(key) : std::nullopt;
  }
  void setStringValue(const std::string& key, const std::string& value) override {
    held_[key] = value;
  }

 private:
  std::unique_ptr<Preferences> stored_;
  std::map<std::string, std::string> held_;
};

}  // namespace

void onlyLookAtDrivePreference(DriveServices& services) {
  if (dynamic_cast<LookingPreferences*>(services.preferences.get())) return;
  services.preferences = std::make_unique<LookingPreferences>(std::move(services.preferences));
}

void rememberDriveVolume(const std::string& name) {
  PlistPreferences(PlistPreferences::defaultPath())
      .setStringValue(DriveScanner::kPreferenceKey, name);
}

}  // namespace drive
