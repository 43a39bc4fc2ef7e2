// The script bridge's behaviour, frozen: each transcript in
// tests/transcripts/ is a session on the sample library, the fake drive
// and a folder standing in for the drive's root. Its request lines
// ("> ") are sent as they are; what comes back must be byte for byte
// what the transcript holds: every response and notification ("< "), the
// log lines each request wrote ("log "), and at the end the files the
// session left ("file " with size and checksum, "folder "). A script
// relies on all of it, so a difference is a regression unless the change
// is meant, and then the transcript is written anew with
// TESSALINE_UPDATE_TRANSCRIPTS=1 and the changed lines named in the
// review.
//
// Each transcript is one fresh process's session, as ctest runs it (the
// first use of a process-wide object logs what it found).
// "@DIR@" stands for the session's folder in requests and answers alike,
// "@SRC@" for the checkout in answers.
// "~ wait HANDLE METHOD VALUE" polls a background run's state (pumping
// the main run loop) until it answers VALUE; only the notifications that
// arrive meanwhile are kept.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "base/Log.h"
#include "compat/bridge/ScriptBridge.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/runtime/RunLoop.h"
#include "drive/DriveServices.h"
#include "drive/HardwarePaths.h"
#include "support/ScopedConfiguration.h"
#include "support/TempDir.h"

namespace {

namespace stdfs = std::filesystem;
using app::Json;

const std::string kTranscripts = TESSALINE_SOURCE_DIR "/tests/compat/bridge/transcripts/";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// FNV-1a: enough to tell one content from another, the same everywhere.
std::string checksum(const std::string& bytes) {
  uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ULL;
  char out[17];
  snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
  return out;
}

class BridgeTranscript : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    // Sizes of playlist files that name the folder depend on its length,
    // so the folder is always made in /tmp, whatever TMPDIR says.
    const char* tmp = std::getenv("TMPDIR");
    const std::optional<std::string> saved = tmp ? std::optional<std::string>(tmp) : std::nullopt;
    setenv("TMPDIR", "/tmp", 1);
    made.emplace();
    saved ? setenv("TMPDIR", saved->c_str(), 1) : unsetenv("TMPDIR");
    catalogue::CTrackList::resetForTesting();
    std::string command = "python3 '" TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py' '" +
                          made->path() + "/library' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    stdfs::create_directories(*made / "drive");
  }
  void TearDown() override { catalogue::CTrackList::resetForTesting(); }

  // Runs the transcript's requests; returns the transcript they make now.
  std::string replay(const std::string& script) {
    const std::string root = made->path();
    std::ostringstream out;
    app::ScriptBridge bridge;
    base::LogCapture log;
    auto shown = [&](const std::string& line) {
      return replaceAll(replaceAll(line, root, "@DIR@"), TESSALINE_SOURCE_DIR, "@SRC@");
    };
    auto keep = [&](const std::vector<std::string>& lines, bool notificationsOnly) {
      for (const std::string& line : lines) {
        if (notificationsOnly && Json::parse(line).contains("id")) continue;
        out << "< " << shown(line) << "\n";
      }
      for (const std::string& line : log.lines()) out << "log " << shown(line) << "\n";
      log.clear();
    };
    std::istringstream in(script);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("> ", 0) == 0) {
        out << line << "\n";
        keep(bridge.handleLine(replaceAll(line.substr(2), "@DIR@", root)), false);
      } else if (line.rfind("~ wait ", 0) == 0) {
        out << line << "\n";
        // HANDLE METHOD VALUE, where the method's name holds a space.
        const std::string what = line.substr(7);
        const size_t first = what.find(' '), last = what.rfind(' ');
        const std::string handle = what.substr(0, first), want = what.substr(last + 1);
        const std::string method = what.substr(first + 1, last - first - 1);
        Json poll{{"jsonrpc", "2.0"},
                  {"id", 0},
                  {"method", method},
                  {"params", Json::array({Json::parse(handle)})}};
        bool reached = platform::MainRunLoop::shared().runUntil(
            [&] {
              auto lines = bridge.handleLine(poll.dump());
              keep(lines, true);
              return Json::parse(lines.back())["result"].dump() == want;
            },
            std::chrono::seconds(20));
        if (!reached) out << "! never reached\n";
      } else if (line.rfind("#", 0) == 0 || line.rfind("~ ", 0) == 0) {
        out << line << "\n";
      }
    }
    bridge.waitForRuns();
    keep(bridge.takeNotifications(), true);
    std::set<std::string> left;
    for (const auto& e : stdfs::recursive_directory_iterator(root)) {
      std::string rel = stdfs::relative(e.path(), root).string();
      if (rel.rfind("library", 0) == 0 || rel == "diskutil") continue;
      if (e.is_directory()) {
        left.insert("folder " + rel);
        continue;
      }
      // The intents name the run's own random token: only that they are
      // there is compared.
      if (e.path().filename() == "temporaries") {
        left.insert("file " + rel + " (intents)");
        continue;
      }
      // Playlist files name the session's folder: they are compared as shown.
      const std::string bytes = shown(testsupport::readFile(e.path()));
      left.insert("file " + rel + " " + std::to_string(bytes.size()) + " " + checksum(bytes));
    }
    for (const std::string& l : left) out << l << "\n";
    return out.str();
  }

  std::optional<testsupport::TempDir> made;
};

TEST_P(BridgeTranscript, AnswersAsRecorded) {
  const std::string path = kTranscripts + GetParam() + ".txt";
  const std::string recorded = testsupport::readFile(path);
  ASSERT_FALSE(recorded.empty()) << path;
  // The fake drive's volumes are judged by the disk tool of the real
  // executable, as a script's session would.
  const std::string tool = *made / "diskutil";
  testsupport::writeFile(tool, "#!/bin/sh\nexec '" TESSALINE_EXECUTABLE "' diskutil \"$@\"\n");
  stdfs::permissions(tool, stdfs::perms::owner_all);
  stdfs::create_directories(*made / "mounts/media/alex/TESSA MUSIC");
  testsupport::ScopedConfiguration machine([&](auto& c) {
    c.fakeHardware = TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive";
    c.fakeMounts = *made / "mounts";
    c.configHome = *made / "config";
    c.diskTool = tool;
    c.scriptParam = "2";
  });
  drive::DriveServices::setShared(drive::DriveServices::forPaths(drive::HardwarePaths::current()));
  std::string now = replay(recorded);
  drive::DriveServices::setShared(drive::DriveServices::forPaths(drive::HardwarePaths::current()));
  if (std::getenv("TESSALINE_UPDATE_TRANSCRIPTS")) {
    std::ofstream(path, std::ios::binary) << now;
    return;
  }
  std::istringstream a(recorded), b(now);
  std::string want, got;
  for (int n = 1;; ++n) {
    bool more = static_cast<bool>(std::getline(a, want));
    more = static_cast<bool>(std::getline(b, got)) || more;
    if (!more) break;
    ASSERT_EQ(got, want) << path << ":" << n << " differs";
    want.clear();
    got.clear();
  }
}

INSTANTIATE_TEST_SUITE_P(Sessions, BridgeTranscript,
                         ::testing::Values("catalogue", "runs", "interface", "faults"));

// Every method the bridge serves is called in some transcript, so a new
// one cannot go unrecorded.
TEST(BridgeTranscriptCoverage, EveryMethodIsRecorded) {
  std::string all;
  for (const char* name : {"catalogue", "runs", "interface", "faults"})
    all += testsupport::readFile(kTranscripts + name + ".txt");
  app::ScriptBridge bridge;
  for (const auto& [name, method] : bridge.methods())
    EXPECT_NE(all.find("\"method\":\"" + name + "\""), std::string::npos) << name;
}

}  // namespace
