#include "compat/export/CThreadCopier.h"

#include <cerrno>
#include <cmath>
#include <optional>
#include <thread>

#include "base/Log.h"
#include "compat/drawing/DockProgressFactory.h"
#include "compat/runtime/RunLoop.h"
#include "compat/shell/FailureContainment.h"
#include "compat/shell/stAutoReleasePool.h"
#include "fs/DestinationRoot.h"

namespace exporter {
namespace {

// A double total as the unsigned count the bar is scaled to: truncated,
// values from 2^63 up converted as unsigned, negative and NaN as 0.
uint64_t truncatedTotal(double total) {
  if (!(total > 0)) return 0;
  if (total >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<uint64_t>(total);
}

}  // namespace

CThreadCopier::Ptr CThreadCopier::CThreadCopierForUniqueIDs(
    const std::vector<std::string>& uniqueIDs) {
  return CThreadCopierForUniqueIDs(uniqueIDs, Options{});
}

CThreadCopier::Ptr CThreadCopier::CThreadCopierForUniqueIDs(
    const std::vector<std::string>& requested, Options options) {
  auto copier = std::make_shared<CThreadCopier>();
  copier->options_ = std::move(options);
  std::vector<std::string> uniqueIDs = catalogue::CTrackList::uniqueInOrder(requested);
  if (uniqueIDs.empty()) return copier;
  copier->run_.start([copier, uniqueIDs] { copier->copyPlaylistUniqueIDs(uniqueIDs); });
  return copier;
}

void CThreadCopier::copyPlaylistUniqueIDs(const std::vector<std::string>& uniqueIDs) {
  auto& loop = platform::MainRunLoop::shared();
  // Anything but the framework exception would otherwise end the thread
  // without taking the bar down or reaching state 3, and a caller polling
  // for the end would wait for ever.
  try {
    shell::logAndContinue(
        "exeception in outer level of copyPlaylistUniqueIDs Exception: %@ Reason: %@", [&] {
          shell::stAutoReleasePool pool;
          setTotalSize(0);
          setCopyState(CopyState::kSizing);
          bool sized = true;
          if (options_.totalSize) {
            setTotalSize(*options_.totalSize);
          } else {
            sized = shell::logAndContinue(
                "exeception in total size accumulation (dock indicator invalid) Exception: %@ "
                "Reason: %@",
                [&] {
                  setTotalSize(
                      truncatedTotal(catalogue::CTrackList::netCopyTotalUniqueIDs(uniqueIDs)));
                });
          }
          if (!sized) setTotalSize(1000000);
          loop.performAndWait([this] { MTSetupDockProgress(); });
          setCopyState(CopyState::kCopying);
          uint64_t running = 0;
          setCopiedSize(0);
          // The root is opened once for the whole run: every playlist writes
          // below the same folder, and a drive pulled mid-run fails the rest.
          catalogue::CTrackList::CopyContext context;
          context.root = options_.root;
          if (!context.root) {
            context.root =
                fs::DestinationRoot::open(catalogue::CTrack::destinationBasePath().value_or(""));
          }
          context.stop = options_.stop;
          context.bytesWritten = &bytesWritten_;
          context.onProgress = [this](uint64_t count) { setCopiedSize(count); };
          context.onTrack = [this](const catalogue::CTrack& track, uint64_t bytes,
                                   const base::FileError* error) {
            if (!error) {
              committedBytes_.fetch_add(bytes);
              committedCount_.fetch_add(1);
              return;
            }
            // A script polls numbers only: the log is where it learns why.
            base::logFormat("copy of track %@ failed: %@ (%@)", track.uniqueID(),
                            error->localizedDescription.empty()
                                ? "error " + std::to_string(error->code)
                                : error->localizedDescription,
                            error->path.empty() ? track.sourcePath() : error->path);
            failedCount_.fetch_add(1);
            failures_.update([&](std::vector<Failure>& failures) {
              failures.push_back({track.uniqueID(), *error});
            });
          };
          // A script's copy writes below the same export as the command
          // line and the window do, so it takes the same lock: while
          // another process exports there, nothing is copied.
          std::string holder;
          std::optional<fs::RootLock> exportLock;
          bool refused = false;
          if (context.root) {
            auto lock = fs::DestinationRoot::lockExportOf(context.root->path(), &holder);
            if (lock && *lock) {
              exportLock.emplace(std::move(**lock));
            } else if (lock && lock->status().code() == EWOULDBLOCK) {
              refused = true;
              base::logFormat("copy run not started: another export is writing to %@ (process %@)",
                              context.root->path(),
                              holder.empty() ? std::string("unknown") : holder);
            }
          }
          for (const auto& id : uniqueIDs) {
            if (refused) break;
            if (options_.stop != nullptr && options_.stop->load()) break;
            shell::stAutoReleasePool playlistPool;
            auto list = catalogue::CTrackList::trackListForUniqueID(id);
            if (!list) continue;
            uint64_t before = running;
            bool ok = shell::logAndContinue(
                "exeception in individual copy Exception: %@ Reason: %@",
                [&] { running = list->doCopyWithAlreadyCopied(running, dockProgress(), context); });
            if (!ok) {
              running = before;
              setCopiedSize(running);
            }
          }
        });
  } catch (const std::exception& e) {
    base::logFormat("copy run ended by an unexpected error: %@", e.what());
  } catch (...) {
    base::logLine("copy run ended by an unexpected error");
  }
  loop.performAndWait([this] { MTEndDockProgress(); });
  setCopyState(CopyState::kFinished);
}

void CThreadCopier::MTSetupDockProgress() {
  auto indicator = platform::makeDockProgressIndicator();
  if (indicator) {
    indicator->setMinValue(0);
    indicator->setMaxValue(static_cast<double>(totalSize()));
    indicator->setDoubleValue(0);
  }
  setDockProgress(std::move(indicator));
}

void CThreadCopier::MTEndDockProgress() {
  if (auto indicator = dockProgress()) indicator->setHidden(true);
  setDockProgress(nullptr);
}

std::vector<CThreadCopier::Failure> CThreadCopier::failures() const { return failures_.get(); }

std::shared_ptr<platform::ProgressIndicator> CThreadCopier::dockProgress() const {
  return dockProgress_.get();
}

void CThreadCopier::setDockProgress(std::shared_ptr<platform::ProgressIndicator> v) {
  // The indicator given up goes outside the lock: its last release may draw.
  dockProgress_.exchange(std::move(v));
}

void CThreadCopier::waitUntilFinished() { run_.waitUntilFinished(); }

bool CThreadCopier::isRunning() const { return run_.isRunning(); }

}  // namespace exporter
