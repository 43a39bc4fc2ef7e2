// The script bridge driven as a script drives it: one JSON-RPC line in,
// the response line(s) out; and once through the executable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <tuple>

#include "base/Log.h"
#include "compat/bridge/ScriptBridge.h"
#include "compat/bridge/ScriptMethods.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/export/CThreadCopier.h"
#include "compat/export/CThreadPlaylistGenerator.h"
#include "compat/runtime/RunLoop.h"
#include "drive/DriveServices.h"
#include "drive/HardwarePaths.h"
#include "support/ScopedConfiguration.h"
#include "support/TempDir.h"

namespace {

using app::Json;
using testsupport::TempDir;
using testsupport::writeFile;

constexpr uint64_t kInvalid = 18446744073709551615ULL;

// Arguments kept as a list even when there is one array or object among
// them (a braced single element would otherwise stand for itself).
Json list(std::initializer_list<Json> args) {
  Json out = Json::array();
  for (const Json& a : args) out.push_back(a);
  return out;
}

class Session {
 public:
  std::vector<std::string> send(const std::string& line) { return bridge.handleLine(line); }

  Json response(const std::string& method, Json params) {
    Json request{
        {"jsonrpc", "2.0"}, {"id", nextId_++}, {"method", method}, {"params", std::move(params)}};
    auto lines = send(request.dump());
    EXPECT_FALSE(lines.empty()) << method;
    if (lines.empty()) return Json();
    lastLine = lines.back();
    return Json::parse(lastLine);
  }
  // The result of a call that must succeed; the arguments in order.
  Json call(const std::string& method, std::initializer_list<Json> args = {}) {
    Json r = response(method, list(args));
    EXPECT_TRUE(r.contains("result")) << method << " -> " << r.dump();
    return r.contains("result") ? r["result"] : Json();
  }
  // The error of a call that must fail.
  Json error(const std::string& method, std::initializer_list<Json> args = {}) {
    Json r = response(method, list(args));
    EXPECT_TRUE(r.contains("error")) << method << " -> " << r.dump();
    return r.contains("error") ? r["error"] : Json();
  }

  // A setter, then its getter reads the value back.
  void roundTrip(const std::string& cls, const Json& object, std::string field, const Json& value) {
    call("-[" + cls + " set" + field + ":]", {object, value});
    field[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(field[0])));
    EXPECT_EQ(call("-[" + cls + " " + field + "]", {object}), value) << cls << " " << field;
  }

  app::ScriptBridge bridge;
  std::string lastLine;

 private:
  int64_t nextId_ = 1;
};

class ScriptBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    catalogue::CTrackList::resetForTesting();
    root = dir / "drive";
    std::filesystem::create_directories(root);
    writeFile(dir / "src/a.mp3", std::string(100, 'a'));
    writeFile(dir / "src/b.mp3", std::string(200, 'b'));
    writeFile(dir / "src/c.mp3", std::string(400, 'c'));
  }
  void TearDown() override { catalogue::CTrackList::resetForTesting(); }

  // Playlist with the full load over tracks a, b, c by letter.
  Json load(Session& s, const std::string& id, bool exported, const std::string& letters) {
    Json tids = Json::array(), en = Json::array(), src = Json::array(), dst = Json::array(),
         t = Json::array(), ar = Json::array(), du = Json::array();
    for (char c : letters) {
      tids.push_back(std::string(1, c));
      en.push_back(true);
      src.push_back(dir / ("src/" + std::string(1, c) + ".mp3"));
      dst.push_back("Artist/" + std::string(1, c) + ".mp3");
      t.push_back(std::string("Title ") + c);
      ar.push_back("Artist");
      du.push_back("60");
    }
    return s.call(
        "+[CTrackList "
        "retainedTrackListForUniqueID:exported:trackIDs:enables:sourcePaths:destPaths:titles:"
        "artists:durations:]",
        {id, exported, tids, en, src, dst, t, ar, du});
  }

  bool pumpUntil(Session& s, const Json& handle, const std::string& getter, int state) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (s.call(getter, {handle}) == state) return true;
      platform::MainRunLoop::shared().runFor(std::chrono::milliseconds(5));
    }
    return false;
  }

  TempDir dir;
  std::string root;
};

// A handle given out twice is held twice: the first release leaves it
// usable, the second ends it.
TEST_F(ScriptBridgeTest, HandleGivenTwiceNeedsTwoReleases) {
  Session s;
  Json first = load(s, "P1", true, "ab");
  Json second = load(s, "P1", true, "ab");
  ASSERT_EQ(second["$object"], first["$object"]);
  EXPECT_EQ(s.call("release", {first}), nullptr);
  EXPECT_EQ(s.call("-[CTrackList uniqueID]", {second}), "P1");
  EXPECT_EQ(s.call("release", {second}), nullptr);
  EXPECT_EQ(s.error("release", {second})["message"],
            "stale handle " + std::to_string(first["$object"].get<int64_t>()) +
                " (released or never given)");
}

// Every entry point's answers are frozen in the transcripts
// (BridgeTranscriptTest.cpp); these tests cover what a transcript cannot
// show: threads, notifications in flight, hostile lines.

TEST_F(ScriptBridgeTest, ShellCommandCompletionArrivesAsANotification) {
  Session s;
  Json op =
      s.call("+[ExecOnThread executeShellCommand:withContext:completionTo:andTarget:]",
             {"printf 'hi\\n'; exit 3", Json{{"step", 7}}, "shellCommandDidFinish:", nullptr});
  ASSERT_EQ(op["class"], "ExecOnThread");
  std::vector<std::string> notes;
  platform::MainRunLoop::shared().runUntil(
      [&] {
        for (auto& n : s.bridge.takeNotifications()) notes.push_back(n);
        return !notes.empty();
      },
      std::chrono::seconds(10));
  ASSERT_EQ(notes.size(), 1u);
  Json note = Json::parse(notes[0]);
  EXPECT_EQ(note["method"], "completion");
  EXPECT_FALSE(note.contains("id"));
  EXPECT_EQ(note["params"][0]["$object"], op["$object"]);
  EXPECT_EQ(s.call("-[ExecOnThread shellResult]", {op}), 3 * 256);
  EXPECT_EQ(s.call("-[ExecOnThread outResult]", {op}), "hi\n");
  EXPECT_EQ(s.error("+[ExecOnThread executeShellCommand:withContext:completionTo:andTarget:]",
                    {42, nullptr, nullptr, nullptr})["code"],
            -32602);
}

// ---- Bridge faults ------------------------------------------------------

TEST_F(ScriptBridgeTest, EachErrorCodeWithItsReason) {
  Session s;
  auto errorOf = [&](const std::string& line) {
    auto out = s.send(line);
    EXPECT_EQ(out.size(), 1u) << line;
    return out.empty() ? Json() : Json::parse(out.back());
  };
  Json r = errorOf("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\"");
  EXPECT_EQ(r["error"]["code"], -32700);
  EXPECT_EQ(r["id"], nullptr);
  EXPECT_EQ(errorOf("[]")["error"]["code"], -32600);
  EXPECT_EQ(errorOf("42")["error"]["code"], -32600);
  EXPECT_EQ(
      errorOf(R"({"jsonrpc":"1.0","id":2,"method":"+[CTrack artFileName]"})")["error"]["code"],
      -32600);
  EXPECT_EQ(errorOf(R"({"jsonrpc":"2.0","id":3,"method":7})")["error"]["code"], -32600);
  Json e = s.error("+[CTrack noSuchThing]");
  EXPECT_EQ(e["code"], -32601);
  EXPECT_EQ(e["message"], "unknown method +[CTrack noSuchThing]");
  e = s.error("+[CTrack trackForUniqueID:]", {"a", "b"});
  EXPECT_EQ(e["code"], -32602);
  EXPECT_EQ(e["message"], "+[CTrack trackForUniqueID:] takes 1 argument, got 2");
  e = s.error("+[CTrack trackForUniqueID:]", {12});
  EXPECT_EQ(e["message"], "+[CTrack trackForUniqueID:]: argument 1 must be a string, got 12");
  e = s.error("+[CTrackList setCopyOnlyCheckedItems:]", {"yes"});
  EXPECT_EQ(e["code"], -32602);
  e = s.error("+[CTrack getTotalTrackSize:unknownDestState:]", {true, 4294967296});
  EXPECT_EQ(e["code"], -32602);
  e = s.error("+[CTrackList netCopyTotalUniqueIDs:]", {Json::array({"a", 1})});
  EXPECT_EQ(e["code"], -32602);
  e = s.error("-[CTrackList uniqueID]", {Json{{"$object", 999}}});
  EXPECT_EQ(e["message"], "stale handle 999 (released or never given)");
  Json st = s.call("+[Interface load]")["selectorText"];
  e = s.error("-[CTrackList uniqueID]", {st});
  EXPECT_EQ(e["message"], "handle " + std::to_string(st["$object"].get<int64_t>()) +
                              " is a SelectorText, expected a CTrackList");
  e = s.error("release", {Json{{"$object", 999}}});
  EXPECT_EQ(e["code"], -32602);
  // An operation's own exception: a playlist file without a root.
  Json p = load(s, "P", true, "a");
  e = s.error("-[CTrackList doGeneratePlaylistinFolder:]", {p, dir / "lists"});
  EXPECT_EQ(e["code"], -32603);
  EXPECT_EQ(s.call("-[CTrackList uniqueID]", {p}), "P");  // and the bridge goes on
  // Notifications get no answer, not even an error.
  EXPECT_TRUE(
      s.send(
           R"({"jsonrpc":"2.0","method":"+[CTrack setDestinationBasePath:]","params":["/tmp/q"]})")
          .empty());
  EXPECT_EQ(s.call("+[CTrack destinationBasePath]"), "/tmp/q");
  EXPECT_TRUE(s.send(R"({"jsonrpc":"2.0","method":"nothing"})").empty());
  // A batch answers each of its requests: IdsComeBackAsSent.
}

// An id comes back in the characters it was sent in, also those a double
// holds only roughly, alone or in a batch, with a result or an error.
TEST_F(ScriptBridgeTest, IdsComeBackAsSent) {
  Session s;
  auto request = [](const std::string& id, const char* method) {
    return R"({"jsonrpc":"2.0","method":")" + std::string(method) + R"(","id":)" + id + "}";
  };
  auto answer = [](const std::string& id) {
    return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":"folder.jpg"})";
  };
  for (std::string id : {"123456789012345678901234567890", "-1.50", "1e2", "\"a\"", "7",
                         "18446744073709551615", "-9223372036854775808", "0.1"}) {
    EXPECT_EQ(s.send(request(id, "+[CTrack artFileName]")), std::vector<std::string>{answer(id)});
  }
  const std::string big = "900719925474099312345";
  EXPECT_EQ(s.send("[" + request(big, "+[CTrack artFileName]") + "," + request("2.50", "x") + "]"),
            std::vector<std::string>{"[" + answer(big) +
                                     R"(,{"id":2.50,"error":{"code":-32601,"message":"unknown )"
                                     R"(method x"},"jsonrpc":"2.0"}])"});
}

// Nesting is bounded before anything walks the value (the id's copy, a
// bad argument shown in its error message): a line nested too deep is
// refused as a whole, id null, and the session goes on.
TEST_F(ScriptBridgeTest, DeeplyNestedRequestsAreRefused) {
  Session s;
  auto nested = [](size_t depth, const std::string& tail) {
    return std::string(depth, '[') + tail + std::string(depth, ']');
  };
  const std::string deep = nested(60000, "");
  const std::string call = R"({"jsonrpc":"2.0","method":"+[CTrack trackForUniqueID:]",)";
  for (const std::string& line :
       {deep, R"({"jsonrpc":"2.0","id":)" + deep + "}", R"({"id":[[[[[)" + std::string(60000, '['),
        call + R"("id":5,"params":)" + deep + "}",
        call + R"("id":"[[","params":[)" + nested(512, "") + "]}"}) {
    auto out = s.send(line);
    ASSERT_EQ(out.size(), 1u) << line.substr(0, 80);
    EXPECT_EQ(
        Json::parse(out[0]),
        (Json{{"jsonrpc", "2.0"},
              {"id", nullptr},
              {"error", {{"code", -32600}, {"message", "request nested deeper than 512 levels"}}}}))
        << line.substr(0, 80);
  }
  // Brackets inside strings do not count; 512 levels are still a request.
  Json e = s.error("+[CTrack trackForUniqueID:]", {Json::parse(nested(510, R"("[[[[{{")"))});
  EXPECT_EQ(e["message"], "+[CTrack trackForUniqueID:]: argument 1 must be a string, got " +
                              std::string(77, '[') + "...");
  EXPECT_EQ(s.call("+[CTrack artFileName]"), "folder.jpg");
}

TEST(ScriptBridgeTableTest, NamesMatchTheirArguments) {
  app::ScriptBridge bridge;
  EXPECT_GT(bridge.methods().size(), 100u);
  EXPECT_THROW(app::checkMethodName("+[CTrack a:b:]", {}), std::logic_error);
  EXPECT_THROW(app::checkMethodName("-[CTrack a]", {{app::ArgKind::kObject, "CTrackList"}}),
               std::logic_error);
  EXPECT_NO_THROW(app::checkMethodName(
      "-[CTrack a:]", {{app::ArgKind::kObject, "CTrack"}, {app::ArgKind::kBool, ""}}));
}

// ---- Background runs ----------------------------------------------------

class ScriptBridgeThreadedTest : public ScriptBridgeTest {};

TEST_F(ScriptBridgeThreadedTest, CopyRunPolledToTheEndThenPlaylistFiles) {
  Session s;
  s.call("+[CTrack setDestinationBasePath:]", {root});
  load(s, "P1", true, "ab");
  Json p2 = load(s, "P2", true, "bc");
  s.call("-[CTrackList setPlaylistFileName:]", {p2, "Second"});
  Json copier = s.call("+[CThreadCopier CThreadCopierForUniqueIDs:]", {list({"P1", "P2"})});
  EXPECT_EQ(copier["class"], "CThreadCopier");
  ASSERT_TRUE(pumpUntil(s, copier, "-[CThreadCopier copyState]", 3));
  EXPECT_EQ(s.call("-[CThreadCopier totalSize]", {copier}), 700u);
  EXPECT_EQ(s.call("-[CThreadCopier copiedSize]", {copier}), 700u);
  EXPECT_EQ(testsupport::readFile(root + "/Artist/c.mp3"), std::string(400, 'c'));
  EXPECT_EQ(s.call("+[CTrackList netCopyTotalUniqueIDs:]", {list({"P1", "P2"})}), 0.0);

  Json empty = s.call("+[CThreadCopier CThreadCopierForUniqueIDs:]", {list({})});
  EXPECT_EQ(s.call("-[CThreadCopier copyState]", {empty}), 0);
  s.roundTrip("CThreadCopier", empty, "CopyState", -1);
  s.roundTrip("CThreadCopier", empty, "TotalSize", 3u);
  s.roundTrip("CThreadCopier", empty, "CopiedSize", 2u);
  s.call("-[CThreadCopier MTSetupDockProgress]", {empty});
  s.call("-[CThreadCopier MTEndDockProgress]", {empty});
  s.call("-[CThreadCopier copyPlaylistUniqueIDs:]", {empty, list({"P1"})});
  EXPECT_EQ(s.call("-[CThreadCopier copyState]", {empty}), 3);

  Json gen = s.call("+[CThreadPlaylistGenerator CThreadPlaylistGeneratorForUniqueIDs:inFolder:]",
                    {list({"P2"}), dir / "lists"});
  EXPECT_EQ(s.call("-[CThreadPlaylistGenerator playlistPath]", {gen}), dir / "lists");
  ASSERT_TRUE(pumpUntil(s, gen, "-[CThreadPlaylistGenerator playlistState]", 2));
  EXPECT_TRUE(testsupport::exists(dir / "lists/Second.m3u8"));
  s.call("-[CThreadPlaylistGenerator setPlaylistPath:]", {gen, dir / "again"});
  s.roundTrip("CThreadPlaylistGenerator", gen, "PlaylistState", 0);
  s.call("-[CThreadPlaylistGenerator generatePlaylistUniqueIDs:]", {gen, list({"P2"})});
  EXPECT_EQ(s.call("-[CThreadPlaylistGenerator playlistState]", {gen}), 2);
  EXPECT_TRUE(testsupport::exists(dir / "again/Second.m3u8"));
  s.bridge.waitForRuns();
}

// A script's copy, playlist files and stale deletion go below the same
// export as the command line's: while another process exports there
// (holding the export's lock), each writes nothing and says why.
TEST_F(ScriptBridgeThreadedTest, WritersWaitForNoOneButTouchNothingWhileAnotherExportRuns) {
  const std::string drive = dir / "export", music = drive + "/Music";
  std::filesystem::create_directories(drive + "/.tessaline");
  writeFile(music + "/Old/stale.mp3", "12345");
  // Another process holds the export's lock for the length of the test.
  std::string lock = drive + "/.tessaline/lock";
  char* argv[] = {const_cast<char*>("flock"), lock.data(), const_cast<char*>("sleep"),
                  const_cast<char*>("30"), nullptr};
  // In a process group of its own, so that the end of the test ends the
  // sleep too (a sleep left behind would hold the test's output open).
  posix_spawnattr_t group;
  posix_spawnattr_init(&group);
  posix_spawnattr_setflags(&group, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&group, 0);
  pid_t holder;
  ASSERT_EQ(posix_spawnp(&holder, "flock", nullptr, &group, argv, environ), 0);
  posix_spawnattr_destroy(&group);
  for (int i = 0; i < 500 && std::system(("flock -n '" + lock + "' true").c_str()) == 0; ++i)
    usleep(10000);
  Session s;
  base::LogCapture log;
  // The lock goes by the folder, however a script spells it.
  std::filesystem::create_symlink(music, dir / "link");
  const std::string spellings[] = {music, music + "/.", music + "/", dir / "link"};
  for (const std::string& spelled : spellings) {
    SCOPED_TRACE(spelled);
    s.call("+[CTrack setDestinationBasePath:]", {spelled});
    load(s, "P1", true, "ab");
    Json copier = s.call("+[CThreadCopier CThreadCopierForUniqueIDs:]", {list({"P1"})});
    ASSERT_TRUE(pumpUntil(s, copier, "-[CThreadCopier copyState]", 3));
    EXPECT_EQ(s.call("-[CThreadCopier committedCount]", {copier}), 0u);
    EXPECT_FALSE(testsupport::exists(music + "/Artist/a.mp3"));
    Json gen = s.call("+[CThreadPlaylistGenerator CThreadPlaylistGeneratorForUniqueIDs:inFolder:]",
                      {list({"P1"}), drive + "/Playlists"});
    ASSERT_TRUE(pumpUntil(s, gen, "-[CThreadPlaylistGenerator playlistState]", 2));
    Json sync = s.call("+[CTrackSync deleteList]");
    s.call("-[CTrackSync deleteAllInList]", {sync});
    EXPECT_TRUE(testsupport::exists(music + "/Old/stale.mp3"));
    EXPECT_FALSE(testsupport::exists(drive + "/Playlists"));
  }
  s.bridge.waitForRuns();
  kill(-holder, SIGTERM);
  waitpid(holder, nullptr, 0);
  for (const char* what : {"copy run not started", "playlist files not written",
                           "deleteAllInList error: another export"}) {
    size_t seen = 0;
    for (const auto& line : log.lines()) seen += line.rfind(what, 0) == 0;
    // The stale deletion takes no root spelled with "." at all.
    const bool deletion = std::string(what).rfind("deleteAllInList", 0) == 0;
    EXPECT_EQ(seen, std::size(spellings) - deletion) << what;
  }
}

// The example script with the library's own media folder given as the
// drive: the tracks' files lie inside it, so its stale deletion deletes
// nothing (every file of the library is still there, as it was).
TEST(BridgeExample, GivenTheLibrarysOwnMediaFolderItDeletesNothing) {
  testsupport::TempDir dir;
  ASSERT_EQ(std::system(("python3 '" TESSALINE_SOURCE_DIR "/scripts/make_sample_library.py' '" +
                         dir / "lib' >/dev/null")
                            .c_str()),
            0);
  auto files = [&] {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir / "lib/Media"))
      if (e.is_regular_file()) out[e.path()] = testsupport::readFile(e.path());
    return out;
  };
  auto before = files();
  std::string command = "ExtScriptParam=2 python3 '" TESSALINE_SOURCE_DIR
                        "/examples/export_via_bridge.py' '" TESSALINE_EXECUTABLE "' '" +
                        dir / "lib/Library.xml" + "' '" + dir / "lib/Media" +
                        "' --delete-stale >/dev/null 2>&1";
  std::system(command.c_str());
  auto after = files();
  for (const auto& [path, bytes] : before) {
    auto now = after.find(path);
    ASSERT_NE(now, after.end()) << path;
    EXPECT_EQ(now->second, bytes) << path;
  }
}

// Many random valid calls: whatever the order, nothing crashes and every
// answer is a result or an internal error, never a bridge fault.
// A copy that fails says why and where in the log, and the copier counts
// it apart from the copies; a good one logs nothing.
TEST_F(ScriptBridgeThreadedTest, FailedCopiesAreLoggedAndCountedApart) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"/Music", "ok/one.wav", ""},
      {"/Music", "ok/./two.wav", "(" + root + "/Music/ok/./two.wav)"},
      {"/Music", "ok//three.wav", "(" + root + "/Music/ok//three.wav)"},
      {"/Gone", "ok/four.wav", "(" + root + "/Gone"},
  };
  std::filesystem::create_directories(root + "/Music");
  for (const auto& [base, dest, logged] : cases) {
    SCOPED_TRACE(dest);
    catalogue::CTrackList::resetForTesting();
    Session s;
    base::LogCapture log;
    s.call("+[CTrack setDestinationBasePath:]", {root + base});
    s.call(
        "+[CTrackList retainedTrackListForUniqueID:exported:trackIDs:enables:sourcePaths:"
        "destPaths:titles:artists:durations:]",
        {"P", true, list({"T"}), list({true}), list({dir / "src/a.mp3"}), list({dest}), list({"t"}),
         list({"a"}), list({"60"})});
    Json copier = s.call("+[CThreadCopier CThreadCopierForUniqueIDs:]", {list({"P"})});
    ASSERT_TRUE(pumpUntil(s, copier, "-[CThreadCopier copyState]", 3));
    bool fails = !logged.empty();
    EXPECT_EQ(s.call("-[CThreadCopier failedCount]", {copier}), fails ? 1 : 0);
    EXPECT_EQ(s.call("-[CThreadCopier committedCount]", {copier}), fails ? 0 : 1);
    EXPECT_EQ(s.call("-[CThreadCopier committedSize]", {copier}), fails ? 0 : 100);
    std::string lines = testing::PrintToString(log.lines());
    EXPECT_EQ(lines.find("copy of track T failed: ") != std::string::npos, fails) << lines;
    EXPECT_NE(lines.find(logged), std::string::npos) << lines;
  }
}

TEST_F(ScriptBridgeThreadedTest, LongRandomSessionOfValidCalls) {
  // Relative paths among the random texts land in the test's folder.
  std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  {
    Session s;
    std::mt19937 rng(20240611);
    const std::vector<std::string> texts{
        "a", "b", "c", "P1", "P2", "x/y", "%@", dir / "drive", dir / "src/a.mp3", "Artist/a.mp3",
        "",  " b"};
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    auto text = [&] { return texts[pick(texts.size())]; };
    std::vector<std::string> names;
    for (const auto& [name, method] : s.bridge.methods()) {
      // The run bodies are for the runs' own threads.
      // Random texts are not to be run as shell commands.
      if (name == "-[CThreadCopier copyPlaylistUniqueIDs:]" ||
          name == "-[CThreadPlaylistGenerator generatePlaylistUniqueIDs:]" ||
          name.find("ExecOnThread") != std::string::npos) {
        continue;
      }
      names.push_back(name);
    }
    load(s, "P1", true, "ab");
    load(s, "P2", false, "bc");
    s.call("+[Interface load]");
    int internal = 0;
    for (int i = 0; i < 4000; ++i) {
      const auto& method = s.bridge.methods().at(names[pick(names.size())]);
      Json params = Json::array();
      bool possible = true;
      for (const auto& arg : method.args) {
        switch (arg.kind) {
          case app::ArgKind::kString:
            params.push_back(text());
            break;
          case app::ArgKind::kOptString:
            params.push_back(pick(5) == 0 ? Json() : Json(text()));
            break;
          case app::ArgKind::kBool:
            params.push_back(pick(2) == 0);
            break;
          case app::ArgKind::kScalar:
          case app::ArgKind::kAny:
            params.push_back(pick(2) ? Json(text()) : Json(pick(3)));
            break;
          case app::ArgKind::kScalars:
          case app::ArgKind::kStrings:
          case app::ArgKind::kOptStrings: {
            Json a = Json::array();
            for (size_t k = pick(4); k > 0; --k) a.push_back(text());
            params.push_back(a);
            break;
          }
          case app::ArgKind::kInt32:
            params.push_back(static_cast<int>(pick(5)) - 1);
            break;
          case app::ArgKind::kUInt32:
            params.push_back(pick(3));
            break;
          case app::ArgKind::kUInt64:
            params.push_back(pick(2) ? kInvalid : pick(1000));
            break;
          case app::ArgKind::kObject:
          case app::ArgKind::kObjects: {
            std::vector<int64_t> live;
            for (const auto& [id, cls] : s.bridge.liveHandles()) {
              if (cls == arg.cls) live.push_back(id);
            }
            if (live.empty()) {
              possible = false;
              break;
            }
            Json h{{"$object", live[pick(live.size())]}};
            params.push_back(arg.kind == app::ArgKind::kObject ? h : Json::array({h}));
            break;
          }
        }
      }
      if (!possible) continue;
      Json r = s.response(method.name, params);
      if (r.contains("error")) {
        ASSERT_EQ(r["error"]["code"], -32603)
            << method.name << " " << params.dump() << " -> " << r.dump();
        ++internal;
      }
      if (pick(50) == 0) platform::MainRunLoop::shared().runFor(std::chrono::milliseconds(1));
      if (pick(200) == 0 && s.bridge.handleCount() > 0) {
        auto live = s.bridge.liveHandles();
        s.call("release", {Json{{"$object", live[pick(live.size())].first}}});
      }
    }
    s.bridge.waitForRuns();
    EXPECT_LT(internal, 4000);
  }
  std::filesystem::current_path(previous);
}

// A shell command started by the script reads nothing of the script's
// requests, and its results can be polled while it runs.
TEST_F(ScriptBridgeThreadedTest, ShellCommandNeitherReadsRequestsNorRacesItsPolls) {
  int requests[2];
  ASSERT_EQ(pipe(requests), 0);
  const std::string pending = R"({"jsonrpc":"2.0","id":9,"method":"+[CTrack artFileName]"})"
                              "\n";
  ASSERT_EQ(write(requests[1], pending.data(), pending.size()), ssize_t(pending.size()));
  close(requests[1]);
  int savedIn = dup(STDIN_FILENO);
  dup2(requests[0], STDIN_FILENO);
  close(requests[0]);
  Session s;
  Json op = s.call("+[ExecOnThread executeShellCommand:withContext:completionTo:andTarget:]",
                   {"cat; exit 3", nullptr, nullptr, nullptr});
  // Polled until the completion notification comes with an answer.
  bool done = false;
  platform::MainRunLoop::shared().runUntil(
      [&] {
        for (const char* getter : {"shellResult", "outResult"}) {
          Json poll{{"jsonrpc", "2.0"},
                    {"id", 0},
                    {"method", std::string("-[ExecOnThread ") + getter + "]"},
                    {"params", list({op})}};
          for (const auto& line : s.send(poll.dump()))
            done = done || Json::parse(line).value("method", "") == "completion";
        }
        return done;
      },
      std::chrono::seconds(10));
  dup2(savedIn, STDIN_FILENO);
  close(savedIn);
  ASSERT_TRUE(done);
  EXPECT_EQ(s.call("-[ExecOnThread shellResult]", {op}), 3 * 256);
  EXPECT_EQ(s.call("-[ExecOnThread outResult]", {op}), nullptr);
}

// ---- The executable -------------------------------------------------------

// A script through the real executable: a line nested too deep and one
// over the size limit are each answered with an error, the oversized one
// without being held in memory; the requests after them are served, and
// the session waits for its copy run before it ends.
TEST_F(ScriptBridgeThreadedTest, ExecutableServesAScriptAndRefusesHostileLines) {
  const std::string script = dir / "script.jsonl", out = dir / "out.txt";
  {
    std::ofstream f(script, std::ios::binary);
    f << R"({"jsonrpc":"2.0","id":)" << std::string(60000, '[') << std::string(60000, ']') << "}\n";
    f << R"({"jsonrpc":"2.0","id":1,"method":"+[CTrack trackForUniqueID:]","params":[")";
    const std::string mebibyte(1 << 20, 'x');
    for (int i = 0; i < 40; ++i) f << mebibyte;
    f << "\"]}\n"
      << R"({"jsonrpc":"2.0","id":1,"method":"+[CTrack setDestinationBasePath:]","params":[")"
      << root << "\"]}\n"
      << R"({"jsonrpc":"2.0","id":2,"method":"+[CTrackList retainedTrackListForUniqueID:exported:trackIDs:enables:sourcePaths:destPaths:titles:artists:durations:]","params":["P",true,[1],[true],[")"
      << (dir / "src/a.mp3") << R"("],["A/a.mp3"],["t"],["r"],["1"]]})"
      << "\n"
      << R"({"jsonrpc":"2.0","id":3,"method":"+[CThreadCopier CThreadCopierForUniqueIDs:]","params":[["P"]]})"
      << "\n"
      << R"({"jsonrpc":"2.0","id":4,"method":"+[CTrackList unCopiedTotalforUniqueID:]","params":["P"]})"
      << "\nnot json\n";
  }
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, STDIN_FILENO, script.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&io, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&io, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string binary = TESSALINE_EXECUTABLE;
  char* argv[] = {binary.data(), const_cast<char*>("script"), nullptr};
  // The child starts on this process's memory until its exec, which
  // carries this process's peak over into the child's: reset it first,
  // after handing back what earlier tests freed (a big library's text).
  malloc_trim(0);
  testsupport::writeFile("/proc/self/clear_refs", "5");
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &io, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&io);
  int status;
  rusage usage;
  ASSERT_EQ(wait4(pid, &status, 0, &usage), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::vector<Json> lines;
  std::istringstream in(testsupport::readFile(out));
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  ASSERT_EQ(lines.size(), 7u);
  auto invalid = [](const char* message) {
    return Json{
        {"jsonrpc", "2.0"}, {"id", nullptr}, {"error", {{"code", -32600}, {"message", message}}}};
  };
  EXPECT_EQ(lines[0], invalid("request nested deeper than 512 levels"));
  EXPECT_EQ(lines[1], invalid("request too large"));
  EXPECT_EQ(lines[2], (Json{{"jsonrpc", "2.0"}, {"id", 1}, {"result", nullptr}}));
  EXPECT_EQ(lines[3]["result"]["class"], "CTrackList");
  EXPECT_EQ(lines[4]["result"]["class"], "CThreadCopier");
  EXPECT_TRUE(lines[5]["result"].is_number_unsigned());
  EXPECT_EQ(lines[6]["error"]["code"], -32700);
  EXPECT_EQ(testsupport::readFile(root + "/A/a.mp3"), std::string(100, 'a'));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The 40 MiB line was never held whole (ru_maxrss is in KiB).
  EXPECT_LT(usage.ru_maxrss, 48 << 10);
#endif
}

}  // namespace
