#include "compat/export/CThreadPlaylistGenerator.h"

#include <cerrno>
#include <optional>
#include <thread>

#include "base/Log.h"
#include "compat/catalogue/CTrack.h"
#include "compat/catalogue/CTrackList.h"
#include "compat/shell/FailureContainment.h"
#include "compat/shell/stAutoReleasePool.h"
#include "fs/DestinationRoot.h"

namespace exporter {

CThreadPlaylistGenerator::Ptr CThreadPlaylistGenerator::CThreadPlaylistGeneratorForUniqueIDs(
    const std::vector<std::string>& uniqueIDs, const std::string& folder) {
  return CThreadPlaylistGeneratorForUniqueIDs(uniqueIDs, folder, nullptr);
}

CThreadPlaylistGenerator::Ptr CThreadPlaylistGenerator::CThreadPlaylistGeneratorForUniqueIDs(
    const std::vector<std::string>& requested, const std::string& folder,
    std::shared_ptr<const fs::DestinationRoot> root) {
  auto generator = std::make_shared<CThreadPlaylistGenerator>();
  generator->setPlaylistPath(folder);
  generator->root_ = std::move(root);
  std::vector<std::string> uniqueIDs = catalogue::CTrackList::uniqueInOrder(requested);
  if (uniqueIDs.empty()) return generator;
  generator->run_.start(
      [generator, uniqueIDs] { generator->generatePlaylistUniqueIDs(uniqueIDs); });
  return generator;
}

void CThreadPlaylistGenerator::generatePlaylistUniqueIDs(
    const std::vector<std::string>& uniqueIDs) {
  setPlaylistState(1);
  std::string folder = playlistPath();
  // The playlist files belong to the export whose tracks they list: written
  // under its lock, as the command line writes them.
  std::string holder;
  std::optional<fs::RootLock> exportLock;
  if (auto base = catalogue::CTrack::destinationBasePath()) {
    auto lock = fs::DestinationRoot::lockExportOf(*base, &holder);
    if (lock && *lock) {
      exportLock.emplace(std::move(**lock));
    } else if (lock && lock->status().code() == EWOULDBLOCK) {
      base::logFormat("playlist files not written: another export is writing to %@ (process %@)",
                      *base, holder.empty() ? std::string("unknown") : holder);
      base::FileError busy;
      busy.code = EWOULDBLOCK;
      busy.localizedDescription = "Another export is writing to " + *base + ".";
      for (const auto& id : uniqueIDs)
        failures_.update([&](std::vector<Failure>& failures) { failures.push_back({id, busy}); });
      setPlaylistState(2);
      return;
    }
  }
  for (const auto& id : uniqueIDs) {
    shell::stAutoReleasePool pool;
    auto list = catalogue::CTrackList::trackListForUniqueID(id);
    if (!list) continue;
    // An unexpected error in one playlist must not end the thread short
    // of state 2, or a caller polling for the end would wait for ever.
    base::FileError error;
    bool done = false;
    try {
      bool clean = shell::logAndContinue(
          "exeception in individual playlist generation Exception: %@ Reason: %@",
          [&] { done = list->doGeneratePlaylistinFolder(folder, root_.get(), &error); });
      if (!clean) error.localizedDescription = "The playlist file could not be made (see the log).";
    } catch (const std::exception& e) {
      base::logFormat("playlist generation failed for %@: %@", id, e.what());
      error.localizedDescription = std::string("The playlist file could not be made: ") + e.what();
    }
    if (done) {
      written_.fetch_add(1);
    } else {
      failures_.update([&](std::vector<Failure>& failures) { failures.push_back({id, error}); });
    }
  }
  setPlaylistState(2);
}

std::vector<CThreadPlaylistGenerator::Failure> CThreadPlaylistGenerator::failures() const {
  return failures_.get();
}

std::string CThreadPlaylistGenerator::playlistPath() const { return playlistPath_.get(); }

void CThreadPlaylistGenerator::setPlaylistPath(const std::string& v) { playlistPath_.set(v); }

void CThreadPlaylistGenerator::waitUntilFinished() { run_.waitUntilFinished(); }

bool CThreadPlaylistGenerator::isRunning() const { return run_.isRunning(); }

}  // namespace exporter
