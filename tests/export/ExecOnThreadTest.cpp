#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "export/ExecOnThread.h"
#include "platform/Exception.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace exporter {
namespace {

using std::chrono::milliseconds;

TEST(ExecOnThreadSync, ExitStatusIsTheWaitStatus) {
  EXPECT_EQ(ExecOnThread::execShellCommand("exit 0", nullptr), 0);
  EXPECT_EQ(ExecOnThread::execShellCommand("exit 1", nullptr), 256);
  EXPECT_EQ(ExecOnThread::execShellCommand("exit 3", nullptr), 3 * 256);
  // The shell cannot find the command: its own exit code 127.
  EXPECT_EQ(ExecOnThread::execShellCommand("/nonexistent/tool 2>/dev/null", nullptr), 127 * 256);
}

TEST(ExecOnThreadSync, NoOutputIsNoneNotEmpty) {
  std::optional<std::string> out = std::string("stale");
  EXPECT_EQ(ExecOnThread::execShellCommand("true", &out), 0);
  EXPECT_FALSE(out.has_value());
  EXPECT_EQ(ExecOnThread::execShellCommand("echo gone >&2; exit 2", &out), 512);
  EXPECT_FALSE(out.has_value()) << "standard error is not captured";
}

TEST(ExecOnThreadSync, LinesKeepTheirLineFeeds) {
  std::optional<std::string> out;
  EXPECT_EQ(ExecOnThread::execShellCommand("printf 'a\\nb\\n\\nc'", &out), 0);
  EXPECT_EQ(out, "a\nb\n\nc");
}

TEST(ExecOnThreadSync, LongLineIsJoinedFromItsPieces) {
  std::optional<std::string> out;
  // 10000 bytes without a line feed, then a short line.
  ASSERT_EQ(
      ExecOnThread::execShellCommand("head -c 10000 /dev/zero | tr '\\0' x; echo; echo end", &out),
      0);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, std::string(10000, 'x') + "\nend\n");
}

TEST(ExecOnThreadSync, CharacterCutAtPieceBoundaryComesOutWhole) {
  std::optional<std::string> out;
  // 4094 ASCII bytes then "é" (two bytes): the first piece ends inside it.
  platform::LogCapture log;
  ASSERT_EQ(ExecOnThread::execShellCommand(
                "head -c 4094 /dev/zero | tr '\\0' y; printf '\\303\\251z\\n'", &out),
            0);
  EXPECT_EQ(*out, std::string(4094, 'y') + "\xC3\xA9z\n");
  EXPECT_TRUE(log.lines().empty());
}

TEST(ExecOnThreadSync, InvalidUtf8IsReplacedAndReported) {
  std::optional<std::string> out;
  platform::LogCapture log;
  const char* command = "printf 'first\\nbad \\377\\376 end\\nlast\\n'";
  ASSERT_EQ(ExecOnThread::execShellCommand(command, &out), 0);
  EXPECT_EQ(*out, "first\nbad \xEF\xBF\xBD\xEF\xBF\xBD end\nlast\n");
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             std::string("execShellCommand replaced 2 bytes of invalid UTF-8 in "
                                         "the output of ") +
                             command});
}

TEST(ExecOnThreadSync, WithoutOutputAddressTheCommandRunsToItsEnd) {
  char path[] = "/tmp/tessaline-exec-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string command = std::string("seq 1 20000; echo done > ") + path + "; exit 4";
  EXPECT_EQ(ExecOnThread::execShellCommand(command.c_str(), nullptr), 4 * 256);
  FILE* f = fopen(path, "r");
  char buf[16] = {};
  ASSERT_NE(fgets(buf, sizeof buf, f), nullptr);
  fclose(f);
  unlink(path);
  EXPECT_STREQ(buf, "done\n");
}

TEST(ExecOnThreadSync, RefusesNullCommand) {
  std::optional<std::string> out = std::string("x");
  EXPECT_THROW(ExecOnThread::execShellCommand(nullptr, &out), platform::Exception);
  EXPECT_FALSE(out.has_value());
}

struct Receiver : ExecCompletionTarget {
  void shellCommandDidFinish(const std::shared_ptr<ExecOnThread>& operation) override {
    EXPECT_TRUE(platform::MainRunLoop::shared().isMainThread());
    received = operation;
    ++calls;
  }
  void other(const std::shared_ptr<ExecOnThread>& operation) { ++otherCalls; }
  // Weak: the operation holds its target, so a strong reference back
  // would keep both alive for ever.
  std::weak_ptr<ExecOnThread> received;
  int calls = 0;
  int otherCalls = 0;
};

TEST(ExecOnThreadThreaded, CompletionArrivesOnMainThreadWithContext) {
  auto receiver = std::make_shared<Receiver>();
  auto context = std::make_shared<int>(42);
  auto op = ExecOnThread::executeShellCommand(
      "echo hello; exit 2", context, &ExecCompletionTarget::shellCommandDidFinish, receiver);
  // Not delivered before the main loop turns, however fast the command.
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(receiver->calls, 0);
  ASSERT_TRUE(platform::MainRunLoop::shared().runUntil([&] { return receiver->calls > 0; },
                                                       milliseconds(10000)));
  EXPECT_EQ(receiver->received.lock(), op);
  EXPECT_EQ(op->shellResult(), 512);
  EXPECT_EQ(op->outResult(), "hello\n");
  EXPECT_EQ(op->command(), "echo hello; exit 2");
  EXPECT_EQ(std::static_pointer_cast<int>(op->context()), context);
  EXPECT_EQ(op->completionTarget(), receiver);
}

TEST(ExecOnThreadThreaded, SelectorChoosesTheMember) {
  auto receiver = std::make_shared<Receiver>();
  auto op = ExecOnThread::executeShellCommand(
      "true", nullptr, static_cast<CompletionSelector>(&Receiver::other), receiver);
  ASSERT_TRUE(platform::MainRunLoop::shared().runUntil([&] { return receiver->otherCalls > 0; },
                                                       milliseconds(10000)));
  EXPECT_EQ(receiver->calls, 0);
  EXPECT_FALSE(op->outResult().has_value());
  EXPECT_EQ(op->shellResult(), 0);
}

TEST(ExecOnThreadThreaded, RefusedCommandIsLoggedAndStillCompletes) {
  platform::LogCapture log;
  auto receiver = std::make_shared<Receiver>();
  auto op =
      ExecOnThread::executeShellCommand(std::string("echo a\0; rm -rf x", 17), nullptr,
                                        &ExecCompletionTarget::shellCommandDidFinish, receiver);
  ASSERT_TRUE(platform::MainRunLoop::shared().runUntil([&] { return receiver->calls > 0; },
                                                       milliseconds(10000)));
  EXPECT_EQ(op->shellResult(), 0);
  EXPECT_FALSE(op->outResult().has_value());
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{
                "exeception within ExecOnThread threadedExecShellCommand Exception: "
                "NSInvalidArgumentException Reason: execShellCommand: the command line contains a "
                "NUL character"});
}

}  // namespace
}  // namespace exporter
