// Asking a long run to stop: Ctrl-C, SIGTERM, or the reader of standard
// output going away. None of them ends the process on the spot; each
// raises one flag that the run looks at between two safe steps (two
// tracks, two deletions), so what is on the drive stays whole and the
// run can still say what it did.
//
// Thread: a StopSignals is made and destroyed on the main thread, one at
// a time; its flag may be read from any thread (the copy threads read it).
// Ownership: the flag is process-wide; a StopSignals only installs and
// restores the handlers while it lives.
// Errors: none; a failed sigaction leaves the signal's default action.
#pragma once

#include <atomic>

namespace base {

enum class StopCause {
  kNone,
  kSignal,        // SIGINT or SIGTERM
  kOutputClosed,  // standard output's reader went away
};

class StopSignals {
 public:
  // Clears the flag and installs the handlers. The first SIGINT or
  // SIGTERM raises the flag; the handler resets itself, so a second one
  // ends the process at once.
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // What the copy threads poll.
  const std::atomic<bool>* flag() const;
  bool requested() const;
  StopCause cause() const;
  // Raises the flag for a cause found by the run itself.
  void request(StopCause cause);
  // Raises the flag when standard output is a pipe, socket or terminal
  // whose other end has gone; answers whether a stop is requested.
  bool checkOutput();
};

// Whether writing to `fd` can no longer reach anyone: a pipe or socket
// whose reader closed it, a terminal that hung up. Never blocks.
bool outputClosed(int fd);

// A write to a closed pipe fails with EPIPE instead of killing the
// process. Done with a handler that does nothing rather than SIG_IGN,
// which programs started from here would inherit.
void ignoreBrokenPipes();

}  // namespace base
