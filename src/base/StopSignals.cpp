#include "base/StopSignals.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

namespace base {
namespace {

std::atomic<bool> gStop{false};
std::atomic<int> gCause{static_cast<int>(StopCause::kNone)};
struct sigaction gOldInt {};
struct sigaction gOldTerm {};

void onStopSignal(int) {
  int none = static_cast<int>(StopCause::kNone);
  gCause.compare_exchange_strong(none, static_cast<int>(StopCause::kSignal));
  gStop.store(true);
}

void onBrokenPipe(int) {}

}  // namespace

StopSignals::StopSignals() {
  gStop.store(false);
  gCause.store(static_cast<int>(StopCause::kNone));
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  // Restarted calls: the copy threads' reads and writes must not fail
  // because a signal passed by.
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &gOldInt);
  sigaction(SIGTERM, &action, &gOldTerm);
}

StopSignals::~StopSignals() {
  sigaction(SIGINT, &gOldInt, nullptr);
  sigaction(SIGTERM, &gOldTerm, nullptr);
}

const std::atomic<bool>* StopSignals::flag() const { return &gStop; }

bool StopSignals::requested() const { return gStop.load(); }

StopCause StopSignals::cause() const { return static_cast<StopCause>(gCause.load()); }

void StopSignals::request(StopCause cause) {
  int none = static_cast<int>(StopCause::kNone);
  gCause.compare_exchange_strong(none, static_cast<int>(cause));
  gStop.store(true);
}

bool StopSignals::checkOutput() {
  if (!requested() && outputClosed(STDOUT_FILENO)) request(StopCause::kOutputClosed);
  return requested();
}

bool outputClosed(int fd) {
  // A pipe whose reader is gone reports POLLERR to its writer; a terminal
  // that hung up, POLLHUP. A regular file reports neither.
  pollfd p{fd, 0, 0};
  if (poll(&p, 1, 0) != 1) return false;
  return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

void ignoreBrokenPipes() {
  struct sigaction action {};
  action.sa_handler = onBrokenPipe;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace base
