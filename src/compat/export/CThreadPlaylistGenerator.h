// A playlist-file run: writes one .m3u8 file per playlist into a folder
// on one detached background thread. The caller keeps the generator and
// polls playlistState until it reads 2: 0 not started (an empty array
// starts nothing), 1 writing, 2 finished.
//
// Ownership: the caller owns the generator; the run's thread keeps it and
// the array alive until it ends.
// Thread: state and path are safe to read from any thread.
// Errors: a playlist whose file cannot be written is logged and skipped.
// Callers that want to know (the command line, the window) read
// written() and failures() once the state is 2.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Guarded.h"
#include "compat/export/BackgroundRun.h"
#include "fs/DestinationRoot.h"

namespace exporter {

class CThreadPlaylistGenerator : public std::enable_shared_from_this<CThreadPlaylistGenerator> {
 public:
  using Ptr = std::shared_ptr<CThreadPlaylistGenerator>;

  // A playlist whose file was not written.
  struct Failure {
    std::string uniqueID;
    base::FileError error;
  };

  // A playlist listed twice is written once. `root`: the folder the files
  // go below (see CTrackList::doGeneratePlaylistinFolder).
  static Ptr CThreadPlaylistGeneratorForUniqueIDs(const std::vector<std::string>& uniqueIDs,
                                                  const std::string& folder);
  static Ptr CThreadPlaylistGeneratorForUniqueIDs(const std::vector<std::string>& uniqueIDs,
                                                  const std::string& folder,
                                                  std::shared_ptr<const fs::DestinationRoot> root);
  // The run; called on the background thread.
  void generatePlaylistUniqueIDs(const std::vector<std::string>& uniqueIDs);

  int32_t playlistState() const { return playlistState_.load(); }
  void setPlaylistState(int32_t v) { playlistState_.store(v); }
  std::string playlistPath() const;
  void setPlaylistPath(const std::string& v);

  size_t written() const { return written_.load(); }
  std::vector<Failure> failures() const;

  // Waits for the run's thread to end: its results are then final.
  void waitUntilFinished();
  // Whether a run's thread has been started and has not yet ended.
  bool isRunning() const;

 private:
  std::atomic<int32_t> playlistState_{0};
  base::Guarded<std::string> playlistPath_;
  BackgroundRun run_;
  std::shared_ptr<const fs::DestinationRoot> root_;
  std::atomic<size_t> written_{0};
  base::Guarded<std::vector<Failure>> failures_;
};

}  // namespace exporter
