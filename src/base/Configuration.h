// What the process learns from its environment, read once by main (the
// composition root) and kept process-wide. Libraries never read or write
// environment variables themselves: they ask configuration() (a global,
// not yet handed down), and a child process gets childEnvironment() as its
// environment, so that what it sees is what this process decided.
//
//   TESSALINE_RESOURCES      resources      the resources folder
//   TESSALINE_FAKE_HARDWARE  fakeHardware   a fake machine root (tests, demos)
//   TESSALINE_FAKE_MOUNTS    fakeMounts     the folder standing for its volumes' roots
//   TESSALINE_DISKUTIL       diskTool       the disk tool to run
//   HOME, XDG_CONFIG_HOME    home, configHome
//   PATH                     searchPath
//   ExtScriptParam           scriptParam    the export mode a script set
//   DBUS_SYSTEM_BUS_ADDRESS  systemBus      where udisks2 is asked (empty: the usual socket)
//   DBUS_SESSION_BUS_ADDRESS sessionBus     where desktop notifications go
//   NO_COLOR                 noColour       (set and not empty)
//   TERM                     terminal
//   LC_ALL, LC_CTYPE, LANG   characterLocale  the first set, as the C library picks it
//   COLUMNS                  columns        (0 when unset or not a number)
//   DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM  display  (any of them set)
//
// Thread: main sets the configuration at start-up before any other
// thread runs; a command-line option may replace it (again on the main
// thread). configuration() may be called from any thread: it answers a
// snapshot that later replacements do not change.
// Errors: none.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace base {

struct Configuration {
  std::string resources;
  std::string fakeHardware;
  std::string fakeMounts;
  std::string diskTool;
  std::string home;
  std::string configHome;
  std::string searchPath;
  std::optional<std::string> scriptParam;
  std::string systemBus;
  std::string sessionBus;
  bool noColour = false;
  std::string terminal;
  std::string characterLocale;
  int columns = 0;
  bool display = false;
  // Every variable as "NAME=value", for the environment of child
  // processes.
  std::vector<std::string> environment;

  // Reads a NULL-terminated array of "NAME=value" entries (main's envp).
  static Configuration fromEnvironment(const char* const* envp);

  // The environment of a child process: this process's, with the fake
  // machine root as configured (removed when there is none).
  std::vector<std::string> childEnvironment() const;
};

std::shared_ptr<const Configuration> configuration();
void setConfiguration(Configuration configuration);

}  // namespace base
