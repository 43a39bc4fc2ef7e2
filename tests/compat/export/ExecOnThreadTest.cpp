#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/Log.h"
#include "compat/export/ExecOnThread.h"
#include "compat/runtime/Exception.h"
#include "compat/runtime/RunLoop.h"

namespace exporter {
namespace {

using std::chrono::milliseconds;

TEST(ExecOnThreadSync, StatusAndOutputAsTheShellGaveThem) {
  struct Case {
    const char* command;
    int status;  // the wait status: exit code n gives n * 256
    std::optional<std::string> out;
    std::vector<std::string> log;
  };
  const char* invalid = "printf 'first\\nbad \\377\\376 end\\nlast\\n'";
  const Case cases[] = {
      {"exit 3", 3 * 256, std::nullopt, {}},
      {"/nonexistent/tool 2>/dev/null", 127 * 256, std::nullopt, {}},  // the shell's own 127
      {"echo gone >&2; exit 2", 512, std::nullopt, {}},  // standard error is not captured
      {"printf 'a\\nb\\n\\nc'", 0, "a\nb\n\nc", {}},
      // 10000 bytes without a line feed: joined from its pieces.
      {"head -c 10000 /dev/zero | tr '\\0' x; echo; echo end",
       0,
       std::string(10000, 'x') + "\nend\n",
       {}},
      // The first piece ends inside "é": it comes out whole.
      {"head -c 4094 /dev/zero | tr '\\0' y; printf '\\303\\251z\\n'",
       0,
       std::string(4094, 'y') + "\xC3\xA9z\n",
       {}},
      {invalid,
       0,
       "first\nbad \xEF\xBF\xBD\xEF\xBF\xBD end\nlast\n",
       {std::string("execShellCommand replaced 2 bytes of invalid UTF-8 in the output of ") +
        invalid}},
  };
  for (const Case& c : cases) {
    std::optional<std::string> out = std::string("stale");
    base::LogCapture log;
    EXPECT_EQ(ExecOnThread::execShellCommand(c.command, &out), c.status) << c.command;
    EXPECT_EQ(out, c.out) << c.command;
    EXPECT_EQ(log.lines(), c.log) << c.command;
  }
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
  base::LogCapture log;
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
