// The command line as a person meets it: on a terminal of a given width,
// piped into another program, with a library from another computer, and
// with the words they type.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

const std::string kTessaline = TESSALINE_BINARY_DIR "/src/app/tessaline";

std::string sq(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Result {
  int status;
  std::string out;
};

Result shell(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  while (size_t n = fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

void makeSample(const std::string& where) {
  ASSERT_EQ(std::system(("python3 " + sq(TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py") +
                         " " + sq(where) + " >/dev/null")
                            .c_str()),
            0);
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Columns a line takes: one per code point (the texts here hold no wide
// characters).
size_t columns(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

// A copy that takes a while (a large sparse file) with standard error on
// a pseudo-terminal of a given width and standard output into a pipe:
// the plan arrives in the pipe while the copy is under way, every redraw
// of the progress line stays within the width, and without a UTF-8
// locale it is plain ASCII.
TEST(CommandLine, ProgressLineFitsTheTerminalAndPipedOutputArrivesAtOnce) {
  struct Case {
    unsigned short width;
    const char* lang;
    bool ascii;
  };
  for (const Case& c : {Case{40, "C.UTF-8", false}, Case{80, "C", true}}) {
    SCOPED_TRACE(c.width);
    testsupport::TempDir dir;
    std::string big = dir / "src/big.wav", drive = dir / "drive";
    testsupport::writeFile(big, "");
    fs::resize_file(big, 3ull << 30);
    fs::create_directories(drive);
    testsupport::writeFile(
        dir / "Library.xml",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
        "version=\"1.0\"><dict><key>Tracks</key><dict><key>1</key>"
        "<dict><key>Track "
        "ID</key><integer>1</integer><key>Name</key><string>Big</string><key>Persistent ID</key>"
        "<string>ID1</string><key>Location</key><string>file://" +
            big +
            "</string></dict></dict><key>Playlists</key><array><dict><key>Name</key><string>Long</"
            "string>"
            "<key>Playlist Persistent ID</key><string>PL1</string><key>Playlist "
            "Items</key><array><dict>"
            "<key>Track ID</key><integer>1</integer></dict></array></dict></array></dict></plist>");

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    struct winsize size {};
    size.ws_col = c.width;
    size.ws_row = 24;
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(ioctl(slave, TIOCSWINSZ, &size), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(out[1], 1);
      dup2(slave, 2);
      setenv("LANG", c.lang, 1);
      unsetenv("LC_ALL");
      unsetenv("LC_CTYPE");
      setenv("TERM", "xterm", 1);
      execl(kTessaline.c_str(), "tessaline", "export", "--library", (dir / "Library.xml").c_str(),
            "--to", drive.c_str(), "--yes", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(slave);
    close(out[1]);
    std::string terminal, piped;
    size_t redraws = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (redraws < 4 && std::chrono::steady_clock::now() < deadline) {
      pollfd fds[2] = {{master, POLLIN, 0}, {out[0], POLLIN, 0}};
      if (poll(fds, 2, 100) <= 0) continue;
      char buf[4096];
      if (fds[0].revents & POLLIN) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) terminal.append(buf, static_cast<size_t>(n));
        redraws = static_cast<size_t>(std::count(terminal.begin(), terminal.end(), '\r'));
      }
      if (fds[1].revents & POLLIN) {
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n > 0) piped.append(buf, static_cast<size_t>(n));
      }
    }
    // Still copying: what was said so far is already in the pipe.
    EXPECT_NE(piped.find("Plan for"), std::string::npos) << piped;
    EXPECT_NE(piped.find("Copying..."), std::string::npos) << piped;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    close(out[0]);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_GE(redraws, 4u) << terminal;
    std::string plain = std::regex_replace(terminal, std::regex("\x1b\\[K"), "");
    for (const auto& piece : {std::string("\r"), std::string("\n")})
      plain = replaceAll(plain, piece, "\n");
    size_t start = 0;
    for (size_t end = plain.find('\n'); end != std::string::npos;
         start = end + 1, end = plain.find('\n', start)) {
      EXPECT_LT(columns(plain.substr(start, end - start)), c.width)
          << plain.substr(start, end - start);
    }
    EXPECT_NE(plain.find(" of 3"), std::string::npos) << plain;  // bytes done of the total
    bool onlyAscii =
        std::all_of(terminal.begin(), terminal.end(), [](char ch) { return (ch & 0x80) == 0; });
    EXPECT_EQ(onlyAscii, c.ascii) << terminal;
  }
}

// An old Mac library whose media folder now lies in this home folder: the
// dry run finds it and says which --map-prefix to give; with it the
// export finds every file.
TEST(CommandLine, DryRunSuggestsThePrefixOfALibraryFromAnotherComputer) {
  testsupport::TempDir dir;
  makeSample(dir / "made");
  std::string media = dir / "home/Music/iTunes/iTunes Media";
  fs::create_directories(fs::path(media).parent_path());
  fs::rename(dir / "made/Media", media);
  std::string xml = testsupport::readFile(dir / "made/Library.xml");
  std::string made = "file://" + replaceAll(dir / "made/Media", " ", "%20");
  testsupport::writeFile(dir / "home/Downloads/Library.xml",
                         replaceAll(xml, made, "file:///Users/me/Music/iTunes/iTunes%20Media"));
  fs::create_directories(dir / "drive");
  std::string command = "HOME=" + sq(dir / "home") + " " + sq(kTessaline) + " export --library " +
                        sq(dir / "home/Downloads/Library.xml") + " --to " + sq(dir / "drive");
  Result dry = shell(command + " -n 2>&1");
  EXPECT_EQ(dry.status, 0) << dry.out;
  std::string prefix = "/Users/me/Music/iTunes/iTunes Media=" + media;
  EXPECT_NE(dry.out.find("Missing: 19 tracks to copy have no file on this computer"),
            std::string::npos)
      << dry.out;
  EXPECT_NE(dry.out.find("--map-prefix '" + prefix + "'"), std::string::npos) << dry.out;

  Result mapped = shell(command + " --yes --json --map-prefix " + sq(prefix) + " 2>&1");
  auto report = nlohmann::json::parse(mapped.out.substr(mapped.out.find('{')));
  EXPECT_EQ(report["status"], "done") << mapped.out;
  EXPECT_EQ(report["missingSources"]["count"], 0);
  EXPECT_EQ(report["copied"].size(), 19u);
}

// The words a person types: commands, help, a playlist's name in any
// case, a folder, a near miss, a mistyped option.
TEST(CommandLine, WordsAndAnswers) {
  testsupport::TempDir dir;
  makeSample(dir / "lib");
  fs::create_directories(dir / "drive");
  std::string lib = " --library " + sq(dir / "lib/Library.xml");
  std::string dry = " export" + lib + " --to " + sq(dir / "drive") + " -n --json";
  struct Case {
    std::string args;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"--version", 0, "tessaline "},
      {"help", 0, "playlists"},
      {"help export", 0, "Usage: tessaline export"},
      {"export --bogus", 2, "tessaline export: The following argument was not expected: --bogus"},
      {"help nope", 2, "tessaline help: no command is named \"nope\""},
      {dry + " --playlist 'road trip'", 0, "\"name\": \"Road Trip\""},
      {dry + " --playlist collections", 0, "\"name\": \"Nordic\""},
      {dry + " --playlist nordik", 2, "Did you mean \"Nordic\"?"},
      {"playlists --json" + lib, 0, "\"builtIn\": true"},
      {"playlists" + lib, 0, "Collections/"},
  };
  for (const auto& c : cases) {
    Result r = shell(sq(kTessaline) + " " + c.args + " 2>&1 </dev/null");
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << "\n" << r.out;
  }
  // A folder stands for both its playlists, and only them.
  Result folder = shell(sq(kTessaline) + dry + " --playlist Collections");
  auto report = nlohmann::json::parse(folder.out);
  EXPECT_EQ(report["playlists"].size(), 2u);

  // Asked on the terminal, not into the output: with the output in a
  // file, the question still shows, once.
  Result asked = shell(sq(kTessaline) + " export" + lib + " --to " + sq(dir / "drive") + " 2>&1 >" +
                       sq(dir / "out.log") + " </dev/null");
  EXPECT_EQ(asked.status, 1);
  EXPECT_NE(asked.out.find("Start? [y/N]"), std::string::npos) << asked.out;
  std::string log = testsupport::readFile(dir / "out.log");
  EXPECT_EQ(log.find("[y/N]"), std::string::npos) << log;
  EXPECT_EQ(log.find("This script will"), std::string::npos) << log;
  EXPECT_NE(log.find("Nothing was changed."), std::string::npos) << log;
}
