// How script-facing operations contain failures. Only the framework
// exception (platform::Exception) is caught; its name and reason are
// logged with the operation's fixed line, whose two %@ placeholders take
// the name and then the reason, e.g.
//   "exeception invalidateFirstExportTotals Exception: %@ Reason: %@".
// Anything else thrown passes through unchanged.
//
// Thread: callable from any thread; logs through base/Log.h.
#pragma once

#include <functional>
#include <string_view>

#include "base/Log.h"
#include "compat/runtime/Exception.h"

namespace shell {

// Logs `line` for a caught framework exception.
void logCaughtException(std::string_view line, const platform::Exception& e);

// Repeat until clean: runs work() until one run throws no framework
// exception, logging one line per failed run.
template <class Work>
void repeatUntilClean(std::string_view line, Work&& work) {
  for (;;) {
    try {
      work();
      return;
    } catch (const platform::Exception& e) {
      logCaughtException(line, e);
    }
  }
}

// Log and continue: runs work() once; a framework exception is logged
// and swallowed. Returns false when one was caught.
template <class Work>
bool logAndContinue(std::string_view line, Work&& work) {
  try {
    work();
    return true;
  } catch (const platform::Exception& e) {
    logCaughtException(line, e);
    return false;
  }
}

}  // namespace shell
