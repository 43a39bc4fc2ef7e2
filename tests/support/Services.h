// The services a test's export reaches the machine through: `files` for
// every step (a fault injector, a power cut), else a new POSIX manager
// each time; no dock tile and no drive volumes (tests name the folder).
#pragma once

#include <memory>

#include "fs/PosixFileManager.h"
#include "session/ExportSession.h"

namespace testsupport {

inline app::Services services(std::shared_ptr<fs::FileManager> files = nullptr) {
  app::Services s;
  s.fileManager = [files]() -> std::shared_ptr<fs::FileManager> {
    return files ? files : std::make_shared<fs::PosixFileManager>();
  };
  return s;
}

}  // namespace testsupport
