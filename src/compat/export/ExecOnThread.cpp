#include "compat/export/ExecOnThread.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/Configuration.h"
#include "base/Log.h"
#include "compat/runtime/AutoreleasePool.h"
#include "compat/runtime/Exception.h"
#include "compat/runtime/RunLoop.h"
#include "compat/shell/FailureContainment.h"
#include "compat/shell/stAutoReleasePool.h"

namespace exporter {
namespace {

constexpr int kShellNotStarted = 127;
constexpr size_t kReadBufferSize = 4096;

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the
// bytes there do not form one (overlong forms, surrogates and values
// above U+10FFFF count as invalid).
size_t validSequenceLength(const std::string& s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  size_t length;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// Replaces every byte that is not part of a valid UTF-8 sequence with
// U+FFFD; returns how many were replaced.
size_t repairUtf8(std::string& text) {
  size_t replaced = 0;
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t n = validSequenceLength(text, i);
    if (n == 0) {
      if (replaced == 0) {
        out.reserve(text.size() + 16);
        out.assign(text, 0, i);
      }
      out += "\xEF\xBF\xBD";
      ++replaced;
      ++i;
      continue;
    }
    if (replaced != 0) out.append(text, i, n);
    i += n;
  }
  if (replaced != 0) text = std::move(out);
  return replaced;
}

// Reads one piece as fgets with a buffer of kReadBufferSize would: up to
// and including a line feed, at most kReadBufferSize - 1 bytes. Unlike
// fgets it knows the piece's length, so a NUL byte in the output does
// not cut the piece short. Returns the piece's length (0: nothing read).
size_t readPiece(FILE* pipe, std::string& into, bool keep) {
  size_t length = 0;
  while (length < kReadBufferSize - 1) {
    int c = std::getc(pipe);
    if (c == EOF) break;
    ++length;
    if (keep) into.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return length;
}

void checkCommandLine(const char* command, size_t length) {
  if (command == nullptr) {
    throw platform::Exception("NSInvalidArgumentException", "execShellCommand: no command line");
  }
  if (std::strlen(command) != length) {
    throw platform::Exception("NSInvalidArgumentException",
                              "execShellCommand: the command line contains a NUL character");
  }
}

// Starts `/bin/sh -c command` with its standard output on a pipe, read
// through the returned stream, and its standard input on /dev/null.
// Null (and no child left) when the shell cannot be started.
FILE* startShell(const char* command, pid_t& pid) {
  int fds[2];
  // Close-on-exec, so that no command started meanwhile on another
  // thread keeps the write end open and this reader waiting.
  if (::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  char sh[] = "sh", dashC[] = "-c";
  char* argv[] = {sh, dashC, const_cast<char*>(command), nullptr};
  // The child's environment is the configured one, never whatever this
  // process's environment block happens to hold.
  std::vector<std::string> environment = base::configuration()->childEnvironment();
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  int failed = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  FILE* pipe = failed == 0 ? ::fdopen(fds[0], "r") : nullptr;
  if (pipe == nullptr) {
    ::close(fds[0]);
    int status;
    while (failed == 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  return pipe;
}

// Closes the stream and waits for the shell; its wait status.
int finishShell(FILE* pipe, pid_t pid) {
  std::fclose(pipe);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

int ExecOnThread::execShellCommand(const char* command, std::optional<std::string>* output) {
  if (output != nullptr) output->reset();
  checkCommandLine(command, command != nullptr ? std::strlen(command) : 0);

  pid_t pid;
  FILE* pipe = startShell(command, pid);
  if (pipe == nullptr) return kShellNotStarted;

  // Collected raw; converted once at the end so that a character cut at
  // a piece boundary is joined before it is judged.
  std::string raw;
  bool wroteSomething = false;
  int emptyReads = 0;
  while (emptyReads < 2) {
    size_t length = readPiece(pipe, raw, output != nullptr);
    if (length == 0) {
      ++emptyReads;
      std::clearerr(pipe);
      continue;
    }
    emptyReads = 0;
    wroteSomething = true;
  }
  int status = finishShell(pipe, pid);

  if (output != nullptr && wroteSomething) {
    size_t replaced = repairUtf8(raw);
    if (replaced != 0) {
      base::logFormat("execShellCommand replaced %@ bytes of invalid UTF-8 in the output of %@",
                      static_cast<uint64_t>(replaced), command);
    }
    *output = std::move(raw);
  }
  return status;
}

std::shared_ptr<ExecOnThread> ExecOnThread::initWithCommand(
    const std::string& command, std::shared_ptr<void> context, CompletionSelector completion,
    std::shared_ptr<ExecCompletionTarget> target) {
  std::shared_ptr<ExecOnThread> operation(new ExecOnThread());
  operation->command_ = command;
  operation->context_ = std::move(context);
  operation->completionSelector_ = completion;
  operation->completionTarget_ = std::move(target);
  return operation;
}

std::shared_ptr<ExecOnThread> ExecOnThread::executeShellCommand(
    const std::string& command, std::shared_ptr<void> context, CompletionSelector completion,
    std::shared_ptr<ExecCompletionTarget> target) {
  auto operation = initWithCommand(command, std::move(context), completion, std::move(target));
  operation->startOperation();
  return operation;
}

void ExecOnThread::startOperation() {
  // The thread's own reference, given up when its body ends.
  std::shared_ptr<ExecOnThread> self = shared_from_this();
  shell::logAndContinue(
      "exeception within ExecOnThread startOperation Exception: %@ Reason: %@", [&] {
        try {
          std::thread([self] { self->threadedExecShellCommand(nullptr); }).detach();
        } catch (const std::system_error& e) {
          throw platform::Exception("NSThreadCreationException", e.what());
        }
      });
}

void ExecOnThread::threadedExecShellCommand(const std::shared_ptr<void>& /*ignored*/) {
  shell::stAutoReleasePool pool;
  std::optional<std::string> output;
  shell::logAndContinue(
      "exeception within ExecOnThread threadedExecShellCommand Exception: %@ Reason: %@", [&] {
        checkCommandLine(command_.c_str(), command_.size());
        shellResult_.set(execShellCommand(command_.c_str(), &output));
      });
  if (output) outResult_.set(std::move(output));

  std::shared_ptr<ExecOnThread> self = shared_from_this();
  std::shared_ptr<ExecCompletionTarget> target = completionTarget_;
  CompletionSelector selector = completionSelector_;
  if (target && selector != nullptr) {
    platform::MainRunLoop::shared().performAsync(
        [self, target, selector] { ((*target).*selector)(self); });
  }
}

std::string ExecOnThread::command() const { return command_; }

void ExecOnThread::setCommand(const std::string& command) { command_ = command; }

std::optional<std::string> ExecOnThread::outResult() const { return outResult_.get(); }

void ExecOnThread::setOutResult(const std::optional<std::string>& outResult) {
  outResult_.set(outResult);
}

int ExecOnThread::shellResult() const { return shellResult_.get(); }

std::shared_ptr<void> ExecOnThread::context() const {
  return platform::AutoreleasePool::autoreleased(context_);
}

void ExecOnThread::setContext(std::shared_ptr<void> context) {
  if (context == context_) return;
  platform::AutoreleasePool::autoreleased(std::exchange(context_, std::move(context)));
}

std::shared_ptr<ExecCompletionTarget> ExecOnThread::completionTarget() const {
  return platform::AutoreleasePool::autoreleased(completionTarget_);
}

void ExecOnThread::setCompletionTarget(std::shared_ptr<ExecCompletionTarget> target) {
  if (target == completionTarget_) return;
  platform::AutoreleasePool::autoreleased(std::exchange(completionTarget_, std::move(target)));
}

}  // namespace exporter
