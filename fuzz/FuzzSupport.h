// Shared pieces of the fuzz targets: a log sink that keeps nothing
// between inputs and writes nowhere, and one scratch folder per process.
//
// Thread: the targets run on libFuzzer's single thread.
// Ownership: both live for the whole process; the folder is removed at exit
// (the runner also removes its TMPDIR, in case an input crashes the process).
// Errors: a scratch folder that cannot be made aborts the run, since a
// target without it would read the real machine instead.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "base/Log.h"

namespace fuzz {

// The quiet sink for one input: declare one at the top of every input.
// It empties the captured lines at the input's end, so that an input
// frees what it allocated; libFuzzer runs every input that ends with more
// allocations than frees a second time, looking for a leak.
class QuietLog {
 public:
  QuietLog() {
    static bool once = [] {
      base::setLogStderrMode(base::StderrMode::kNever);
      return true;
    }();
    (void)once;
    capture().clear();
  }
  ~QuietLog() { capture().clear(); }
  QuietLog(const QuietLog&) = delete;
  QuietLog& operator=(const QuietLog&) = delete;

 private:
  static base::LogCapture& capture() {
    static base::LogCapture capture;
    return capture;
  }
};

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tessaline-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& root() const { return root_; }

  void write(const std::filesystem::path& rel, std::string_view bytes) const {
    std::filesystem::path p = root_ / rel;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

 private:
  std::filesystem::path root_;
};

// A copy of the repository's fake hardware tree (sysfs, /dev labels,
// mountinfo) made once per process, for the readers that take a root.
inline const ScratchDir& fakeHardware() {
  static const ScratchDir dir;
  static const bool copied = [] {
    std::filesystem::copy(
        TESSALINE_SOURCE_DIR "/resources/fake-hardware/tessaline-drive", dir.root(),
        std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    return true;
  }();
  (void)copied;
  return dir;
}

inline std::string_view bytesOf(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace fuzz
