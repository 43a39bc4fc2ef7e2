#include "base/Log.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace base {
namespace {

std::atomic<StderrMode> g_stderr_mode{StderrMode::kWhenTerminal};

class DefaultSink : public LogSink {
 public:
  void write(std::string_view line) override {
    std::call_once(open_, [] { openlog("tessaline", LOG_PID, LOG_USER); });
    syslog(LOG_NOTICE, "%.*s", static_cast<int>(line.size()), line.data());
    StderrMode mode = g_stderr_mode.load();
    if (mode == StderrMode::kAlways ||
        (mode == StderrMode::kWhenTerminal && isatty(STDERR_FILENO))) {
      std::string copy(line);
      copy.push_back('\n');
      fwrite(copy.data(), 1, copy.size(), stderr);
    }
  }

 private:
  std::once_flag open_;
};

std::mutex g_mutex;
std::vector<std::shared_ptr<LogSink>>& sinkStack() {
  static auto* stack = new std::vector<std::shared_ptr<LogSink>>{std::make_shared<DefaultSink>()};
  return *stack;
}

}  // namespace

class LogCapture::Sink : public LogSink {
 public:
  void write(std::string_view line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(line);
  }
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

void setLogStderrMode(StderrMode mode) { g_stderr_mode.store(mode); }

void logLine(std::string_view line) {
  std::shared_ptr<LogSink> sink;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    sink = sinkStack().back();
  }
  sink->write(line);
}

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()) {
  std::lock_guard<std::mutex> lock(g_mutex);
  sinkStack().push_back(sink_);
}

LogCapture::~LogCapture() {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto& stack = sinkStack();
  stack.erase(std::remove(stack.begin(), stack.end(), sink_), stack.end());
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(sink_->mutex_);
  return sink_->lines_;
}

size_t LogCapture::count(std::string_view line) const {
  std::lock_guard<std::mutex> lock(sink_->mutex_);
  return std::count(sink_->lines_.begin(), sink_->lines_.end(), line);
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(sink_->mutex_);
  sink_->lines_.clear();
}

void logIfFailed(const Status& status, std::string_view meaning) {
  if (!status.ok()) logLine(std::string(meaning) + ": " + status.message());
}

}  // namespace base
