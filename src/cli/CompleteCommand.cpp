#include "cli/CompleteCommand.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>

#include "base/Configuration.h"
#include "base/Log.h"
#include "cli/DrivesCommand.h"
#include "drive/DriveScanner.h"
#include "drive/LookingPreferences.h"
#include "library/LibraryReader.h"
#include "session/ExportSession.h"

namespace app {
namespace {

namespace stdfs = std::filesystem;

enum class Kind { kWords, kFiles, kDirs };

struct Candidates {
  Kind kind = Kind::kWords;
  std::vector<std::string> values;
  bool anyCase = false;  // names the program itself matches in any case
};

std::string expandHome(const std::string& path, const std::string& home) {
  if (home.empty() || !(path == "~" || path.rfind("~/", 0) == 0)) return path;
  return home + path.substr(1);
}

bool startsWith(const std::string& s, const std::string& prefix, bool anyCase) {
  if (s.size() < prefix.size()) return false;
  auto fold = [anyCase](char ch) {
    return anyCase ? std::tolower(static_cast<unsigned char>(ch)) : static_cast<unsigned char>(ch);
  };
  for (size_t i = 0; i < prefix.size(); ++i)
    if (fold(s[i]) != fold(prefix[i])) return false;
  return true;
}

// The entries of the folder `typed` names up to its last slash, as typed
// (a "~/" stays), folders ending in "/"; hidden ones only when asked for.
std::vector<std::string> listFiles(const std::string& typed, bool foldersOnly,
                                   const std::string& home) {
  size_t slash = typed.rfind('/');
  std::string folder = slash == std::string::npos ? "" : typed.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? typed : typed.substr(slash + 1);
  std::vector<std::string> out;
  std::error_code ec;
  stdfs::directory_iterator it(
      folder.empty() ? stdfs::path(".") : stdfs::path(expandHome(folder, home)), ec),
      end;
  for (; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.rfind(base, 0) != 0 || (name[0] == '.' && base.empty())) continue;
    std::error_code dirEc;
    bool dir = stdfs::is_directory(it->path(), dirEc);  // through a link too
    if (dir || !foldersOnly) out.push_back(folder + name + (dir ? "/" : ""));
  }
  return out;
}

std::vector<std::string> playlistNames(const std::string& library, const std::string& home) {
  std::string file =
      library.empty() ? LibraryReader::defaultExport(home).value_or("") : expandHome(library, home);
  std::vector<std::string> names;
  if (file.empty()) return names;
  try {
    for (const auto& p : LibraryReader().read(file).playlists) names.push_back(p.name);
  } catch (const std::exception&) {
    // An unreadable library offers no names; the export itself says why.
  }
  return names;
}

// The titles the typed line's machine offers: the fake tree it names, or
// this one.
std::vector<std::string> driveTitles(const std::string& fakeHardware, const std::string& home,
                                     drive::DriveServices& machine) {
  std::error_code ec;
  std::unique_ptr<drive::DriveServices> typed;
  if (!fakeHardware.empty() && stdfs::is_directory(expandHome(fakeHardware, home), ec))
    typed = drive::DriveServices::forPaths(
        drive::HardwarePaths::fakeTree(expandHome(fakeHardware, home)));
  drive::DriveServices& drives = typed ? *typed : machine;
  drive::onlyLookAtDrivePreference(drives);
  std::vector<std::string> titles;
  for (const auto& v : drive::DriveScanner(drives).scan().offered())
    if (v.usable) titles.push_back(v.title);
  return titles;
}

// What the words before the one being typed said: the command they are
// in, an option still waiting for its value, and the values that change
// what the others offer.
struct Context {
  const CLI::App* app;
  const CLI::Option* pending = nullptr;
  std::string library, fakeHardware, home;
  std::function<drive::DriveServices&()> drives;
};

bool takesValue(const CLI::Option* opt) { return opt->get_type_size() != 0; }

void noteValue(Context& c, const CLI::Option* opt, const std::string& value) {
  if (opt->check_lname("library")) c.library = value;
  if (opt->check_lname("fake-hardware")) c.fakeHardware = value;
}

Context contextOf(const CLI::App& root, const std::vector<std::string>& words) {
  Context c{&root};
  for (size_t i = 0; i + 1 < words.size(); ++i) {
    const std::string& w = words[i];
    if (c.pending) {
      noteValue(c, c.pending, w);
      c.pending = nullptr;
    } else if (w.size() > 1 && w[0] == '-') {
      size_t eq = w.rfind("--", 0) == 0 ? w.find('=') : std::string::npos;
      const CLI::Option* opt = c.app->get_option_no_throw(w.substr(0, eq));
      if (opt == nullptr || !takesValue(opt)) continue;
      if (eq == std::string::npos) {
        c.pending = opt;
      } else {
        noteValue(c, opt, w.substr(eq + 1));
      }
    } else {
      for (const auto* sub : c.app->get_subcommands({}))
        if (sub->get_name() == w) c.app = sub;
    }
  }
  return c;
}

Candidates valuesOf(const CLI::Option* opt, const Context& c) {
  std::string type = opt->get_type_name();
  // A set of choices shows in the type as "{a,b,c}".
  if (size_t open = type.find('{'), close = type.find('}');
      close != std::string::npos && open < close) {
    Candidates choices;
    std::stringstream list(type.substr(open + 1, close - open - 1));
    for (std::string choice; std::getline(list, choice, ',');) choices.values.push_back(choice);
    return choices;
  }
  if (opt->check_lname("playlist")) return {Kind::kWords, playlistNames(c.library, c.home), true};
  if (opt->check_lname("drive"))
    return {Kind::kWords, driveTitles(c.fakeHardware, c.home, c.drives()), true};
  if (type.rfind("DIR", 0) == 0) return {Kind::kDirs};
  if (type.rfind("FILE", 0) == 0 || type.rfind("PNG", 0) == 0) return {Kind::kFiles};
  return {};
}

Candidates optionsOf(const CLI::App* app) {
  Candidates out;
  for (const auto* opt : app->get_options()) {
    if (opt->get_group().empty()) continue;  // hidden
    for (const auto& name : opt->get_lnames()) out.values.push_back("--" + name);
    for (const auto& name : opt->get_snames()) out.values.push_back("-" + name);
  }
  return out;
}

// What may take the place of `word`, the last of `words`; `prefix` is
// what of the word is not part of the value ("--library=").
Candidates candidatesFor(const CLI::App& root, const std::vector<std::string>& words,
                         std::string* prefix, const Services& services) {
  Context c = contextOf(root, words);
  c.home = services.configuration->home;
  c.drives = services.drives;
  const std::string& word = words.back();
  if (c.pending) return valuesOf(c.pending, c);
  if (word.rfind("--", 0) == 0 && word.find('=') != std::string::npos) {
    *prefix = word.substr(0, word.find('=') + 1);
    const CLI::Option* opt = c.app->get_option_no_throw(prefix->substr(0, prefix->size() - 1));
    return opt != nullptr && takesValue(opt) ? valuesOf(opt, c) : Candidates{};
  }
  if (!word.empty() && word[0] == '-') return optionsOf(c.app);
  Candidates out;
  // `help` explains the commands of the program it belongs to.
  const CLI::App* commands = c.app->get_name() == "help" ? c.app->get_parent() : c.app;
  for (const auto* sub : commands->get_subcommands({}))
    if (!sub->get_group().empty() && sub != c.app) out.values.push_back(sub->get_name());
  return out.values.empty() && c.app->get_subcommands({}).empty() ? optionsOf(c.app) : out;
}

std::vector<std::string> matching(Candidates& found, const std::string& prefix,
                                  const std::string& word, const std::string& home) {
  std::string value = word.substr(prefix.size());
  if (found.kind != Kind::kWords) found.values = listFiles(value, found.kind == Kind::kDirs, home);
  std::set<std::string> out;
  for (const auto& v : found.values) {
    if (startsWith(v, value, found.anyCase) && v.find('\n') == std::string::npos)
      out.insert(prefix + v);
  }
  return {out.begin(), out.end()};
}

void complete(const CLI::App& root, const std::vector<std::string>& args,
              const Services& services) {
  if (args.size() < 2) return;
  bool bash = args[0] == "bash";
  TypedLine line;
  if (bash) {
    line = splitTypedLine(args[1]);
    if (!line.words.empty()) line.words.erase(line.words.begin());  // the program
  } else {
    line.words.assign(args.begin() + 1, args.end());
  }
  if (line.words.empty()) line.words.push_back("");
  std::string prefix;
  Candidates found = candidatesFor(root, line.words, &prefix, services);
  std::vector<std::string> replies =
      matching(found, prefix, line.words.back(), services.configuration->home);
  if (bash) {
    std::cout << line.typed << "\n";
    size_t typedPrefix = std::min(prefix.size(), line.typed.size());
    for (const auto& r : replies)
      std::cout << prefix << quoteLike(line.typed.substr(typedPrefix), r.substr(prefix.size()))
                << "\n";
  } else {
    std::cout << (found.kind == Kind::kFiles  ? "files"
                  : found.kind == Kind::kDirs ? "dirs"
                                              : "words")
              << "\n";
    for (const auto& r : replies) std::cout << r << "\n";
  }
}

}  // namespace

TypedLine splitTypedLine(const std::string& line) {
  TypedLine out;
  std::string word;
  bool inWord = false;
  size_t start = 0;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    char ch = line[i];
    if (!inWord && quote == 0 && (ch == ' ' || ch == '\t' || ch == '\n')) continue;
    if (!inWord) inWord = true, start = i;
    if (quote != 0 && ch == quote) {
      quote = 0;
    } else if (ch == '\\' && quote != '\'' && i + 1 < line.size() &&
               (quote == 0 || std::string("$`\"\\\n").find(line[i + 1]) != std::string::npos)) {
      if (line[++i] != '\n') word += line[i];
    } else if (quote != 0) {
      word += ch;
    } else if (ch == '\'' || ch == '"') {
      quote = ch;
    } else if (ch == ' ' || ch == '\t' || ch == '\n') {
      out.words.push_back(word);
      word.clear();
      inWord = false;
    } else if (ch != '\\') {
      word += ch;
    }
  }
  out.typed = inWord ? line.substr(start) : "";
  out.words.push_back(word);
  return out;
}

std::string quoteLike(const std::string& typed, const std::string& word) {
  char style = typed.empty() ? 0 : typed[0];
  std::string out(1, style);
  if (style == '\'') {
    for (char ch : word) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  } else if (style == '"') {
    for (char ch : word)
      out += (std::string("$`\"\\").find(ch) != std::string::npos ? "\\" : "") + std::string(1, ch);
  } else {
    bool home = typed.rfind("~/", 0) == 0 && word.rfind("~/", 0) == 0;
    out = home ? "~/" : "";
    for (size_t i = home ? 2 : 0; i < word.size(); ++i) {
      unsigned char ch = static_cast<unsigned char>(word[i]);
      // Letters of other scripts are not special to a shell. (Names
      // holding a line break are never offered.)
      bool plain = std::isalnum(ch) || ch >= 0x80 ||
                   std::string("_-./,+%@:=").find(static_cast<char>(ch)) != std::string::npos;
      if (!plain) out += '\\';
      out += static_cast<char>(ch);
    }
    return out;
  }
  return out + style;
}

void registerCompleteCommand(CLI::App& cli, const Services& services) {
  auto* sub = cli.add_subcommand("__complete", "What may come next on a command line")->group("");
  sub->set_help_flag();
  sub->prefix_command();
  sub->callback([&cli, sub, &services] {
    base::setLogStderrMode(base::StderrMode::kNever);
    complete(cli, sub->remaining(), services);
  });
}

}  // namespace app
