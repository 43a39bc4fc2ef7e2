// The model of an image view: it shows the icon theme's icon of a name
// (with a more generic name to fall back on when the theme lacks the
// first). A window draws it; nothing here draws.
//
// Thread: main thread only.
#pragma once

#include <string>

namespace platform {

class ImageView {
 public:
  const std::string& iconName() const { return iconName_; }
  const std::string& fallbackIconName() const { return fallbackIconName_; }
  void setIcon(std::string name, std::string fallback) {
    iconName_ = std::move(name);
    fallbackIconName_ = std::move(fallback);
  }

 private:
  std::string iconName_;
  std::string fallbackIconName_;
};

}  // namespace platform
