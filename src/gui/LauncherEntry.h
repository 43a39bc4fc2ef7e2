// Progress on the taskbar: the freedesktop launcher entry signal
// (com.canonical.Unity.LauncherEntry "Update" on the session bus), which
// docks and task managers show over the application's icon. Without a
// session bus every call does nothing.
//
// Thread: main thread only.
#pragma once

#include <optional>
#include <string>

namespace app {

class LauncherEntry {
 public:
  // `desktopId`: the desktop entry's file name.
  explicit LauncherEntry(std::string desktopId = "tessaline.desktop");

  bool available() const;
  // A share of 0...1 shows the bar; none hides it.
  void setProgress(std::optional<double> share);

 private:
  std::string uri_;
};

}  // namespace app
