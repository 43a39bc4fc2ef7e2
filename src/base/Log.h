// The system log: one plain line per event, no levels.
//
// Every line goes through one process-wide sink. The default sink writes
// to syslog and, when standard error is a terminal (or when asked), to
// standard error as well. Tests install a LogCapture, which takes the
// place of the default sink while it lives and records every line.
//
// Thread: every function may be called from any thread; lines are
// written whole, never interleaved.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Format.h"
#include "base/Status.h"

namespace base {

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(std::string_view line) = 0;
};

enum class StderrMode { kWhenTerminal, kAlways, kNever };

// Chooses when the default sink copies lines to standard error.
void setLogStderrMode(StderrMode mode);

// Writes one line as it stands (percent signs included).
void logLine(std::string_view line);
// A failure the caller can go on after, logged with what it means
// ("<meaning>: <what failed, where and why>"); nothing for success.
void logIfFailed(const Status& status, std::string_view meaning);

// Formats with Format.h's rules, then writes one line.
template <class... A>
void logFormat(std::string_view fmt, const A&... args) {
  logLine(format(fmt, args...));
}

// Records every line written while it lives; nests (the innermost
// capture receives the lines).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  size_t count(std::string_view line) const;
  void clear();

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
};

}  // namespace base
