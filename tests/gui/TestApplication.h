// The one QApplication of the window's test program, offscreen unless the
// environment names another platform, shared by every test file in it.
// Thread: the test runner's thread only. Ownership: never destroyed, since
// at exit the statics it would need are gone already.
#pragma once

#include <QApplication>
#include <QStandardPaths>
#include <cstdlib>

namespace app::testgui {

inline QApplication& application() {
  static int argc = 1;
  static char name[] = "test_gui";
  static char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // The window's own settings go to a test folder, not the person's.
  QStandardPaths::setTestModeEnabled(true);
  static QApplication* qt = new QApplication(argc, argv);
  return *qt;
}

}  // namespace app::testgui
