// A power cut for crash-consistency tests, after the fault-injection
// environments of embedded databases: a POSIX file manager whose steps
// (copies, and texts written below a root) are followed through its step
// hook. Until the cut, every step goes through and the double keeps the
// files whose data or record entry the disk has not been made to keep
// yet; from the cut on, every step fails (the machine is off).
// dropUnflushed() then does to the files what the cut would have done: a
// file named before its data was flushed loses it (what a write replaces
// keeps its own); a record file it follows (followRecord) loses what was
// appended since the last flush.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "fs/PosixFileManager.h"

namespace testsupport {

class PowerCut {
 public:
  // Steps from `cutAt` on (1 = the first) fail; 0: no cut.
  explicit PowerCut(uint64_t cutAt) : cutAt_(cutAt) {}

  std::shared_ptr<fs::PosixFileManager> manager() {
    fs::PosixFileManager::Options options;
    options.stepHook = [this](fs::CopyStep step, const std::string& to) {
      return onStep(step, to);
    };
    return std::make_shared<fs::PosixFileManager>(options);
  }

  uint64_t steps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return steps_;
  }
  // Copies named while their record entry was not yet on the disk.
  std::set<std::string> namedUnrecorded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return namedUnrecorded_;
  }

  // A file appended to between flushes, which a flush carries to the disk;
  // what it holds now is on the disk already.
  void followRecord(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_ = path;
    std::error_code e;
    durable_ = std::filesystem::file_size(path, e);
    if (e) durable_ = 0;
  }

  // What the cut leaves of files whose data was not flushed.
  void dropUnflushed() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::error_code e;
    if (!record_.empty() && std::filesystem::file_size(record_, e) > durable_ && !e)
      std::filesystem::resize_file(record_, durable_);
    for (const auto& path : namedUnflushed_)
      std::ofstream(path, std::ios::binary | std::ios::trunc) << "lost";
  }

 private:
  int onStep(fs::CopyStep step, const std::string& to) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++steps_;
    if (cutAt_ != 0 && steps_ >= cutAt_) return EIO;
    switch (step) {
      case fs::CopyStep::kWritten:
        unflushed_.insert(to);
        break;
      case fs::CopyStep::kRecorded:
        unrecorded_.insert(to);
        break;
      case fs::CopyStep::kFlushed: {
        std::error_code e;
        if (!record_.empty()) durable_ = std::filesystem::file_size(record_, e);
        if (e) durable_ = 0;
        unflushed_.erase(to);
        unrecorded_.erase(to);
        break;
      }
      case fs::CopyStep::kNamed:
        if (unrecorded_.count(to)) namedUnrecorded_.insert(to);
        if (unflushed_.count(to)) namedUnflushed_.insert(to);
        break;
      case fs::CopyStep::kNamesFlushed:
        break;
    }
    return 0;
  }

  uint64_t cutAt_;
  mutable std::mutex mutex_;
  uint64_t steps_ = 0;
  std::set<std::string> unflushed_, unrecorded_, namedUnrecorded_, namedUnflushed_;
  std::string record_;
  uintmax_t durable_ = 0;
};

}  // namespace testsupport
