// The shell side as a person meets it: completion in a real bash, zsh
// and fish, and the manual page, against the built program and what its
// help lists.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "support/TempDir.h"

namespace {

const std::string kSource = TESSALINE_SOURCE_DIR;

std::string quoted(const std::string& s) {
  return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'";
}

std::string output(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  for (int c; (c = fgetc(pipe)) != EOF;) out += static_cast<char>(c);
  pclose(pipe);
  return out;
}

bool installed(const std::string& tool) {
  if (std::system(("command -v " + tool + " >/dev/null").c_str()) == 0) return true;
  if (getenv("CI")) ADD_FAILURE() << tool << " is not installed (make deps installs it)";
  return false;
}

// Each command's long options as its --help lists them ("" for the
// program's own), commands nested as "diskutil info".
std::map<std::string, std::set<std::string>> helpListing() {
  std::map<std::string, std::set<std::string>> out;
  const std::regex first("^  (\\S+)"), longOption("--[a-z0-9-]+");
  for (std::vector<std::string> todo{""}; !todo.empty();) {
    std::string command = todo.back(), section, line;
    todo.pop_back();
    std::istringstream help(output(TESSALINE_EXECUTABLE " " + command + " --help"));
    for (std::smatch m; std::getline(help, line);) {
      if (!line.empty() && line[0] != ' ') section = line;
      if (!std::regex_search(line, m, first)) continue;
      // What scripts and tests use is listed apart, under a heading of its
      // own that holds commands and options alike.
      const bool apart = section == "For scripts and tests:";
      if (section == "Subcommands:" || (apart && line.find("  --") != 0))
        todo.push_back((command.empty() ? "" : command + " ") + m.str(1));
      for (std::sregex_iterator it(line.begin(), line.begin() + m.length(0), longOption), end;
           (section == "Options:" || apart) && it != end; ++it)
        out[command].insert(it->str());
    }
  }
  return out;
}

class Completion : public testing::Test {
 protected:
  void SetUp() override {
    std::string xml =
        "<plist version=\"1.0\"><dict><key>Tracks</key><dict/><key>Playlists</key><array>";
    for (const char* name : {"Rock &amp; Metal", "Party *", "Don't Stop"})
      xml += std::string("<dict><key>Name</key><string>") + name +
             "</string><key>Playlist Persistent ID</key><string>" + name + "</string></dict>";
    testsupport::writeFile(dir_ / "My Music/Library.xml", xml + "</array></dict></plist>");
    std::filesystem::create_directories(dir_ / "My Music/Mixes & More");
  }
  // Runs `shell` in the folder, the program first on PATH, HOME the
  // library's folder.
  std::string run(const std::string& shell) {
    return output("cd " + quoted(dir_.path()) + " && HOME=" + quoted(dir_ / "My Music") + " PATH=" +
                  quoted(std::filesystem::path(TESSALINE_EXECUTABLE).parent_path().string() + ":" +
                         getenv("PATH")) +
                  " " + shell + " 2>&1");
  }
  // Bash's replies, one a line, to `line` + `word` typed, `word` being
  // what bash takes for the word under the cursor; a reply that does not
  // read back as exactly one word is marked.
  std::string bash(const std::string& line, const std::string& word) {
    const char* script =
        "source \"$1\"; COMP_LINE=$2$3; COMP_POINT=${#COMP_LINE}; COMP_WORDS=(tessaline \"$3\"); "
        "COMP_CWORD=1; _tessaline; for r in \"${COMPREPLY[@]}\"; do eval \"set -- $r\"; "
        "[ $# = 1 ] && echo \"$r\" || echo \"not one word: $r\"; done";
    return run("bash -c " + quoted(script) + " _ " +
               quoted(kSource + "/completion/tessaline.bash") + " " + quoted(line) + " " +
               quoted(word));
  }
  testsupport::TempDir dir_;
};

TEST_F(Completion, BashRepliesAreEachOneShellWord) {
  std::string tree = quoted(kSource + "/resources/fake-hardware/tessaline-drive");
  std::string lib = "tessaline export --library My\\ Music/Library.xml --playlist";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"tessaline help ", "ex", "export\n"},
      {lib + " ", "roc", "Rock\\ \\&\\ Metal\n"},
      {lib + "=", "Par", "Party\\ \\*\n"},
      {lib + " ", "'Roc", "'Rock & Metal'\n"},
      {"tessaline export --library \"My Music\"/Library.xml --playlist ", "\"Do",
       "\"Don't Stop\"\n"},
      {"tessaline export --library ~/Library.xml --playlist ", "D", "Don\\'t\\ Stop\n"},
      {"tessaline export --library ", "My\\ Mu", "My\\ Music/\n"},
      {"tessaline export --library=", "My\\ Music/L", "My\\ Music/Library.xml\n"},
      {"tessaline gui --to ", "~/", "~/Mixes\\ \\&\\ More/\n"},
      {"tessaline gui --to ", "'My Music/", "'My Music/Mixes & More/'\n"},
      {"tessaline --fake-hardware " + tree + " export --drive ", "t", "TESSA\\ MUSIC\n"},
  };
  for (const auto& [line, word, replies] : cases)
    EXPECT_EQ(bash(line, word), replies) << line << word;
}

TEST_F(Completion, EveryCommandAndOptionTheHelpListsIsOffered) {
  std::string commands;
  for (const auto& [command, options] : helpListing()) {
    if (!command.empty() && command.find(' ') == std::string::npos) commands += command + "\n";
    std::string offered = bash("tessaline " + command + " ", "--");
    for (const auto& option : options)
      EXPECT_NE(offered.find(option + "\n"), std::string::npos) << option;
  }
  EXPECT_NE(commands.find("gui\n"), std::string::npos);
  EXPECT_EQ(bash("tessaline ", ""), commands);
}

// zsh's completion functions stand in for themselves here: what the
// script hands them is what zsh quotes and inserts.
TEST_F(Completion, ZshAndFishOfferTheSameUnquoted) {
  std::string lib = "tessaline export --library My\\ Music/Library.xml --playlist ";
  auto zsh = [&](const std::string& words) {
    return "zsh -c " +
           quoted(
               "compadd() { print -rl -- \"$@\" }; _files() { print _files $@ }; compset() "
               "{ :; }; words=(" +
               words + "); CURRENT=${#words}; source " + kSource + "/completion/tessaline.zsh");
  };
  auto fish = [&](const std::string& line) {
    return "fish -c " +
           quoted("source " + kSource + "/completion/tessaline.fish; complete -C " + quoted(line));
  };
  const std::pair<std::string, std::string> cases[] = {
      {zsh(lib + "roc"), "--\nRock & Metal\n"},
      {fish(lib + "'Par"), "Party *\n"},
      {fish("tessaline gui --to My\\ Music/"), "My Music/Mixes & More/\n"},
  };
  for (const auto& [command, expected] : cases) {
    if (!installed(command.substr(0, command.find(' ')))) continue;
    EXPECT_EQ(run(command), expected) << command;
  }
}

TEST(ManualPage, GroffFindsNothingToWarnAboutAndEveryCommandAndOptionIsThere) {
  if (!installed("groff")) GTEST_SKIP() << "groff is not installed (make deps installs it)";
  std::string page = quoted(kSource + "/docs/tessaline.1");
  EXPECT_EQ(output("groff -ww -man -Tutf8 -z " + page + " 2>&1 || echo failed"), "");
  // So that the page cannot fall behind the program.
  std::string text = output("sed -e 's/\\\\-/-/g' -e 's/\\\\f[BIRP]//g' " + page);
  for (const auto& [command, options] : helpListing()) {
    EXPECT_NE(text.find("\n.SS \"tessaline " + command), std::string::npos)
        << "no section: " << command;
    for (const auto& option : options)
      EXPECT_TRUE(std::regex_search(text, std::regex(option + "\\b(?!-)")))
          << command << " " << option;
  }
}

}  // namespace
