// Runs one shell command line and collects what it writes to standard
// output, either synchronously on the calling thread (execShellCommand)
// or on a detached thread whose outcome is delivered to a completion
// target on the main run loop (executeShellCommand).
//
// Output: the command's standard output is read in pieces of at most
// 4095 bytes and converted as a whole once the command has finished, so
// a multi-byte character cut at a piece boundary comes out whole. Bytes
// that are not valid UTF-8 are each replaced by U+FFFD (the rest of
// their line is kept) and one log line names the command and the number
// of bytes replaced: the output is never silently shortened. A command
// that writes nothing gives no output (none), not an empty string.
// Standard error is not captured. Standard input is /dev/null: the
// caller's own input (the script bridge's request channel) is not the
// command's to read. Its environment is the configured child
// environment (base::Configuration::childEnvironment).
//
// Status: the shell's wait status as waitpid reports it (exit code n gives
// n * 256); 127 when the shell cannot be started.
//
// Thread: execShellCommand may be called from any thread and blocks it.
// shellResult and outResult are written by the operation's thread and
// may be read from any thread at any time (a script polls them before
// the completion arrives), so each is guarded by a lock; their final
// values are those read once the completion has arrived. The other
// fields are set before startOperation and only read afterwards. The
// object is kept alive by its thread and by the queued completion.
// Ownership: setters drop the previous object at the end of the caller's
// autorelease scope (platform::AutoreleasePool), as retaining setters do.
// Errors: a command line with a NUL character in it (or a null pointer)
// is refused with platform::Exception "NSInvalidArgumentException" before
// anything runs, since the shell would otherwise see only part of it.
// Inside the asynchronous form framework exceptions are logged with the
// fixed "exeception within ExecOnThread ..." lines and contained.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/Guarded.h"

namespace exporter {

class ExecOnThread;

// The receiver of a completion. The completion selector names which of
// its member functions is called; by default shellCommandDidFinish.
// Subclasses may offer further members of the same signature and pass
// them as the selector (static_cast to CompletionSelector).
class ExecCompletionTarget {
 public:
  virtual ~ExecCompletionTarget() = default;
  virtual void shellCommandDidFinish(const std::shared_ptr<ExecOnThread>& operation) = 0;
};

using CompletionSelector = void (ExecCompletionTarget::*)(const std::shared_ptr<ExecOnThread>&);

class ExecOnThread : public std::enable_shared_from_this<ExecOnThread> {
 public:
  // Runs `command` through /bin/sh and waits for it. With `output`, the
  // output is stored there (none when the command wrote nothing); the
  // stored value is reset to none first.
  static int execShellCommand(const char* command, std::optional<std::string>* output);

  // Creates an operation and starts it at once; the completion arrives
  // later on the main run loop, after this call has returned.
  static std::shared_ptr<ExecOnThread> executeShellCommand(
      const std::string& command, std::shared_ptr<void> context, CompletionSelector completion,
      std::shared_ptr<ExecCompletionTarget> target);

  // Keeps the command, context, selector and target; does not start.
  static std::shared_ptr<ExecOnThread> initWithCommand(
      const std::string& command, std::shared_ptr<void> context, CompletionSelector completion,
      std::shared_ptr<ExecCompletionTarget> target);

  // Starts the command on a new detached thread. Call once.
  void startOperation();
  // The thread body (public for symmetry with the thread entry; the
  // argument is ignored).
  void threadedExecShellCommand(const std::shared_ptr<void>& ignored);

  std::string command() const;
  void setCommand(const std::string& command);
  std::optional<std::string> outResult() const;
  void setOutResult(const std::optional<std::string>& outResult);
  int shellResult() const;
  std::shared_ptr<void> context() const;
  void setContext(std::shared_ptr<void> context);
  std::shared_ptr<ExecCompletionTarget> completionTarget() const;
  void setCompletionTarget(std::shared_ptr<ExecCompletionTarget> target);
  CompletionSelector completionSelector() const { return completionSelector_; }

  ExecOnThread(const ExecOnThread&) = delete;
  ExecOnThread& operator=(const ExecOnThread&) = delete;

 private:
  ExecOnThread() = default;

  std::string command_;
  base::Guarded<std::optional<std::string>> outResult_;
  base::Guarded<int> shellResult_;
  std::shared_ptr<void> context_;
  CompletionSelector completionSelector_ = &ExecCompletionTarget::shellCommandDidFinish;
  std::shared_ptr<ExecCompletionTarget> completionTarget_;
};

}  // namespace exporter
