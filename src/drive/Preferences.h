// The application's own preferences: a few named values kept between runs.
// Backend: PlistPreferences (a property list in the user's config folder).
//
// Thread: main thread only.
// Errors: a value of another type than asked for reads as none; a store
// that cannot be read or written logs one line and changes nothing.
#pragma once

#include <optional>
#include <string>

namespace drive {

class Preferences {
 public:
  virtual ~Preferences() = default;
  // Whether any value (of any type) is stored under `key`.
  virtual bool hasValue(const std::string& key) = 0;
  virtual std::optional<std::string> stringValue(const std::string& key) = 0;
  virtual void setStringValue(const std::string& key, const std::string& value) = 0;
};

}  // namespace drive
