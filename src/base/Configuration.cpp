#include "base/Configuration.h"

#include <string_view>

#include "base/Guarded.h"

namespace base {
namespace {

constexpr std::string_view kFakeHardware = "TESSALINE_FAKE_HARDWARE";

Guarded<std::shared_ptr<const Configuration>>& current() {
  static auto* shared =
      new Guarded<std::shared_ptr<const Configuration>>(std::make_shared<Configuration>());
  return *shared;
}

bool isVariable(std::string_view entry, std::string_view name) {
  return entry.size() > name.size() && entry.substr(0, name.size()) == name &&
         entry[name.size()] == '=';
}

}  // namespace

Configuration Configuration::fromEnvironment(const char* const* envp) {
  Configuration c;
  std::string locales[3];  // LC_ALL, LC_CTYPE, LANG: the first set wins
  for (; envp != nullptr && *envp != nullptr; ++envp) {
    std::string_view entry(*envp);
    size_t eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    std::string_view name = entry.substr(0, eq);
    std::string value(entry.substr(eq + 1));
    c.environment.emplace_back(entry);
    if (name == "TESSALINE_RESOURCES") {
      c.resources = value;
    } else if (name == kFakeHardware) {
      c.fakeHardware = value;
    } else if (name == "TESSALINE_FAKE_MOUNTS") {
      c.fakeMounts = value;
    } else if (name == "TESSALINE_DISKUTIL") {
      c.diskTool = value;
    } else if (name == "HOME") {
      c.home = value;
    } else if (name == "XDG_CONFIG_HOME") {
      c.configHome = value;
    } else if (name == "PATH") {
      c.searchPath = value;
    } else if (name == "ExtScriptParam") {
      c.scriptParam = value;
    } else if (name == "NO_COLOR") {
      c.noColour = !value.empty();
    } else if (name == "DBUS_SYSTEM_BUS_ADDRESS") {
      c.systemBus = value;
    } else if (name == "DBUS_SESSION_BUS_ADDRESS") {
      c.sessionBus = value;
    } else if (name == "TERM") {
      c.terminal = value;
    } else if (name == "LC_ALL" || name == "LC_CTYPE" || name == "LANG") {
      locales[name == "LC_ALL" ? 0 : name == "LC_CTYPE" ? 1 : 2] = value;
    } else if (name == "COLUMNS") {
      int n = 0;
      for (char ch : value) n = ch >= '0' && ch <= '9' && n < 100000 ? n * 10 + (ch - '0') : -1;
      c.columns = n > 0 ? n : 0;
    } else if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM") {
      c.display = c.display || !value.empty();
    }
  }
  for (const auto& locale : locales) {
    if (!locale.empty()) {
      c.characterLocale = locale;
      break;
    }
  }
  return c;
}

std::vector<std::string> Configuration::childEnvironment() const {
  std::vector<std::string> env;
  for (const auto& entry : environment) {
    if (!isVariable(entry, kFakeHardware)) env.push_back(entry);
  }
  if (!fakeHardware.empty()) env.push_back(std::string(kFakeHardware) + "=" + fakeHardware);
  return env;
}

std::shared_ptr<const Configuration> configuration() { return current().get(); }

void setConfiguration(Configuration configuration) {
  auto replacement = std::make_shared<const Configuration>(std::move(configuration));
  current().exchange(std::move(replacement));
}

}  // namespace base
