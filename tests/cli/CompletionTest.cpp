// The shell side as a person meets it: completion in a real bash, zsh
// and fish, and the manual page, against the built program and what its
// help lists.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
const std::string kSource = TESSALINE_SOURCE_DIR;

std::string shellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string output(const std::string& command, int* status = nullptr) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  int s = pclose(pipe);
  if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Each command's long options as its --help lists them ("" for the
// program's own), and the commands, nested ones as "diskutil info".
std::map<std::string, std::set<std::string>> helpListing() {
  std::map<std::string, std::set<std::string>> out;
  std::vector<std::string> todo{""};
  const std::regex longOption("--[a-z0-9-]+");
  while (!todo.empty()) {
    std::string command = todo.back();
    todo.pop_back();
    std::string section;
    for (const auto& line :
         lines(output(shellQuoted(TESSALINE_EXECUTABLE) + " " + command + " --help"))) {
      if (!line.empty() && line[0] != ' ') section = line;
      std::smatch m;
      if (section == "Subcommands:" && std::regex_search(line, m, std::regex("^  (\\S+)")))
        todo.push_back(command.empty() ? m[1].str() : command + " " + m[1].str());
      if (section == "Options:" && std::regex_search(line, m, std::regex("^  (\\S+)")))
        for (std::sregex_iterator it(line.begin(), line.begin() + m.length(1) + 2, longOption), end;
             it != end; ++it)
          out[command].insert(it->str());
    }
    out[command];
  }
  return out;
}

class Completion : public testing::Test {
 protected:
  void SetUp() override {
    testsupport::writeFile(
        dir_ / "My Music/Library.xml",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Tracks</key><dict/>"
        "<key>Playlists</key><array>" +
            playlist("Rock &amp; Metal") + playlist("Party *") + playlist("Don't Stop") +
            "</array></dict></plist>");
    fs::create_directories(dir_ / "My Music/Mixes & More");
  }
  static std::string playlist(const std::string& name) {
    return "<dict><key>Name</key><string>" + name +
           "</string><key>Playlist Persistent ID</key><string>" + std::to_string(name.size()) +
           "</string></dict>";
  }
  // Runs `shell` in the folder with the program first on PATH and HOME
  // the library's folder.
  std::string run(const std::string& shell) {
    return output(
        "cd " + shellQuoted(dir_.path()) + " && HOME=" + shellQuoted(dir_ / "My Music") + " PATH=" +
        shellQuoted(fs::path(TESSALINE_EXECUTABLE).parent_path().string() + ":" + getenv("PATH")) +
        " " + shell + " 2>&1");
  }
  // Bash's replies for the line as typed, `word` being the word bash
  // takes as the one under the cursor; each reply must read back as
  // exactly one word.
  std::vector<std::string> bash(const std::string& line, const std::string& word) {
    const char* script =
        "source \"$1\"; COMP_LINE=$2; COMP_POINT=${#COMP_LINE}; COMP_WORDS=(tessaline \"$3\"); "
        "COMP_CWORD=1; "
        "_tessaline; for r in \"${COMPREPLY[@]}\"; do eval \"set -- $r\"; "
        "[ $# = 1 ] && echo \"$r\" || echo \"not one word: $r\"; done";
    return lines(run("bash -c " + shellQuoted(script) + " _ " +
                     shellQuoted(kSource + "/completion/tessaline.bash") + " " + shellQuoted(line) +
                     " " + shellQuoted(word)));
  }
  testsupport::TempDir dir_;
};

TEST_F(Completion, BashRepliesAreEachOneShellWord) {
  std::string tree = kSource + "/resources/fake-hardware/tessaline-drive";
  std::string lib = "tessaline export --library My\\ Music/Library.xml ";
  const std::tuple<std::string, std::string, std::vector<std::string>> cases[] = {
      {"tessaline help ex", "ex", {"export"}},
      {"tessaline export --dr", "--dr", {"--drive", "--dry-run"}},
      {lib + "--playlist roc", "roc", {"Rock\\ \\&\\ Metal"}},
      {lib + "--playlist Par", "Par", {"Party\\ \\*"}},
      {lib + "--playlist=Par", "Par", {"Party\\ \\*"}},
      {lib + "--playlist 'Roc", "'Roc", {"'Rock & Metal'"}},
      {"tessaline export --library \"My Music\"/Library.xml --playlist \"Do",
       "\"Do",
       {"\"Don't Stop\""}},
      {"tessaline export --library ~/Library.xml --playlist D", "D", {"Don\\'t\\ Stop"}},
      {"tessaline export --library nowhere.xml --playlist ", "", {}},
      {"tessaline export --library My\\ Mu", "My\\ Mu", {"My\\ Music/"}},
      {"tessaline export --library=My\\ Music/L", "My\\ Music/L", {"My\\ Music/Library.xml"}},
      {"tessaline gui --to ~/", "~/", {"~/Mixes\\ \\&\\ More/"}},
      {"tessaline gui --to 'My Music/", "'My Music/", {"'My Music/Mixes & More/'"}},
      {"tessaline --fake-hardware " + shellQuoted(tree) + " export --drive t",
       "t",
       {"TESSA\\ MUSIC"}},
  };
  for (const auto& [line, word, replies] : cases) EXPECT_EQ(bash(line, word), replies) << line;
}

TEST_F(Completion, EveryCommandAndOptionTheHelpListsIsOffered) {
  auto listing = helpListing();
  std::vector<std::string> commands;
  for (const auto& [command, options] : listing)
    if (!command.empty() && command.find(' ') == std::string::npos) commands.push_back(command);
  ASSERT_NE(std::find(commands.begin(), commands.end(), "gui"), commands.end());
  EXPECT_EQ(bash("tessaline ", ""), commands);
  for (const auto& [command, options] : listing) {
    auto offered = bash("tessaline " + command + " --", "--");
    for (const auto& option : options)
      EXPECT_NE(std::find(offered.begin(), offered.end(), option), offered.end())
          << command << " " << option;
  }
}

TEST_F(Completion, ZshAndFishOfferTheSameUnquoted) {
  std::string lib = "--library My\\ Music/Library.xml";
  std::string zsh =
      "compadd() { print -rl -- \"$@\" }; _files() { print -r -- _files \"$@\" }; compset() { :; "
      "}; ";
  const std::pair<std::string, std::string> cases[] = {
      {"zsh -c " + shellQuoted(zsh + "words=(tessaline export " + lib +
                               " --playlist roc); CURRENT=6; source " +
                               shellQuoted(kSource + "/completion/tessaline.zsh")),
       "--\nRock & Metal\n"},
      {"zsh -c " + shellQuoted(zsh + "words=(tessaline gui --to My); CURRENT=4; source " +
                               shellQuoted(kSource + "/completion/tessaline.zsh")),
       "_files -/\n"},
      {"fish -c " + shellQuoted("source " + shellQuoted(kSource + "/completion/tessaline.fish") +
                                "; complete -C \"tessaline export " + lib + " --playlist 'Par\""),
       "Party *\n"},
      {"fish -c " + shellQuoted("source " + shellQuoted(kSource + "/completion/tessaline.fish") +
                                "; complete -C \"tessaline gui --to My\\\\ Music/\""),
       "My Music/Mixes & More/\n"},
  };
  for (const auto& [command, expected] : cases) {
    std::string shell = command.substr(0, command.find(' '));
    if (std::system(("command -v " + shell + " >/dev/null").c_str()) != 0) {
      if (getenv("CI")) ADD_FAILURE() << shell << " is not installed (make deps installs it)";
      std::cout << "[  SKIPPED ] " << shell << " is not installed (make deps installs it)\n";
      continue;
    }
    EXPECT_EQ(run(command), expected) << command;
  }
}

class ManualPage : public testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v groff >/dev/null") != 0) {
      if (getenv("CI")) FAIL() << "groff is not installed (make deps installs it)";
      GTEST_SKIP() << "groff is not installed (make deps installs it)";
    }
  }
  const std::string page_ = kSource + "/docs/tessaline.1";
};

TEST_F(ManualPage, GroffFindsNothingToWarnAbout) {
  int status = 0;
  EXPECT_EQ(output("groff -ww -man -Tutf8 -z " + shellQuoted(page_) + " 2>&1", &status), "");
  EXPECT_EQ(status, 0);
}

// So that the page cannot fall behind the program.
TEST_F(ManualPage, NamesEveryCommandAndOptionTheHelpLists) {
  std::string text = output("sed -e 's/\\\\-/-/g' -e 's/\\\\f[BIRP]//g' " + shellQuoted(page_));
  for (const auto& [command, options] : helpListing()) {
    EXPECT_NE(text.find("\n.SS \"tessaline " + command), std::string::npos)
        << "no section for " << command;
    for (const auto& option : options)
      EXPECT_TRUE(std::regex_search(text, std::regex(option + "\\b(?!-)")))
          << command << " " << option;
  }
}

}  // namespace
