#include "gui/ExportWorker.h"

#include "base/ByteCountText.h"

#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <set>
#include <unordered_map>

#include "drive/DriveScanner.h"
#include "drive/UdisksEjector.h"
#include "session/RememberedChoices.h"

namespace app {

namespace {
const char* const kNoLibrary = "No library is loaded.";
}  // namespace

ExportWorker::ExportWorker(QObject* receiver, Services services)
    : receiver_(receiver), context_(new QObject), services_(std::move(services)) {
  context_->moveToThread(&thread_);
  QObject::connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
  thread_.start();
}

ExportWorker::~ExportWorker() {
  // From the worker's own thread, the wait below would never return.
  Q_ASSERT(!onWorkerThread());
  stop_ = true;
  thread_.quit();
  thread_.wait();
  // The session's catalogue lives on; only this thread used it.
  session_.reset();
}

bool ExportWorker::onWorkerThread() const { return QThread::currentThread() == &thread_; }

void ExportWorker::post(std::function<void()> step) {
  // Queued to an object living on the worker's thread, so that the steps
  // run there, one after another, in the order they were posted.
  Q_ASSERT(QThread::currentThread() == receiver_->thread());
  QMetaObject::invokeMethod(context_, std::move(step), Qt::QueuedConnection);
}

template <class R>
void ExportWorker::reply(std::function<void(R)> done, R result) {
  Q_ASSERT(onWorkerThread());
  QMetaObject::invokeMethod(
      receiver_,
      [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); },
      Qt::QueuedConnection);
}

void ExportWorker::scanDrives(std::function<void(DriveScan)> done) {
  post([this, done = std::move(done)] {
    drive::DriveScan found = drive::DriveScanner(services_.drives()).scan();
    DriveScan scan;
    for (const auto& v : found.offered())
      scan.volumes.push_back({v.title, v.reason, v.name, v.usable});
    scan.selected = found.selected;
    scan.explanation = found.explanation;
    reply(done, std::move(scan));
  });
}

// Every loaded playlist's figures, then the chosen ones again.
Loaded ExportWorker::rows(const std::vector<std::string>& chosen) {
  Loaded out;
  std::vector<std::string> all;
  for (const auto& [name, id] : session_->loadedPlaylists()) all.push_back(id);
  session_->choose(all);
  auto planned = session_->plan();
  if (!planned) {
    session_->choose(chosen);
    out.error = planned.error().message();
    return out;
  }
  const ExportPlan& plan = **planned;
  std::set<std::string> on(chosen.begin(), chosen.end());
  for (const auto& p : plan.playlists) {
    out.rows.push_back({p.id, p.name, p.tracks, p.seconds, p.bytesToCopy, on.count(p.id) != 0});
  }
  out.freeSpace = plan.freeSpace;
  out.capacity = plan.capacity;
  out.bytesOnDrive = plan.bytesOnDrive;
  out.rememberKey = session_->rememberKey();
  out.remembered =
      session::RememberedChoices(session::RememberedChoices::defaultFile(*services_.configuration),
                                 services_.fileManager())
          .playlists(out.rememberKey);
  out.library = session_->libraryFile();
  out.root = session_->root();
  out.removals = session_->removals();  // of this plan of every playlist
  session_->choose(chosen);
  return out;
}

std::string ExportWorker::prepare() {
  if (!prepared_) {
    auto done = session_->prepare();
    if (!done) return done.error().message();
    prepared_ = true;
  }
  return "";
}

void ExportWorker::load(const std::string& library, const std::string& to, const std::string& drive,
                        std::function<void(Loaded)> done) {
  post([=, this] {
    Loaded out;
    // The playlists of an earlier library are no longer exported.
    if (session_) session_->choose({});
    session_.reset();
    prepared_ = false;
    options_ = ExportOptions{};
    options_.library = library;
    options_.to = to;
    options_.drive = drive;
    // The rows below plan at once, in this same task.
    options_.sourcesWhileLoading = true;
    session_ = std::make_unique<ExportSession>(options_, services_);
    if (auto loaded = session_->load(); !loaded) {
      out.error = loaded.error().message();
    } else {
      // The destination's conversion applies before its first plan.
      std::string conversion =
          session::RememberedChoices(
              session::RememberedChoices::defaultFile(*services_.configuration),
              services_.fileManager())
              .conversion(session_->rememberKey());
      session_->setConversion(conversion);
      std::vector<std::string> all;
      for (const auto& [name, id] : session_->loadedPlaylists()) all.push_back(id);
      out = rows(all);
      out.conversion = conversion;
    }
    if (!out.error.empty()) session_.reset();
    reply(done, std::move(out));
  });
}

void ExportWorker::preview(const std::string& library, std::function<void(Loaded)> done) {
  post([=, this] {
    Loaded out;
    if (session_) session_->choose({});
    session_.reset();
    prepared_ = false;
    std::string file =
        library.empty() ? LibraryReader::defaultExport(services_.configuration->home).value_or("")
                        : library;
    if (file.empty()) {
      out.error = "No library was found: choose one with Choose….";
      return reply(done, std::move(out));
    }
    auto read = LibraryReader().load(file);
    if (!read) {
      out.error = read.status().message();
      return reply(done, std::move(out));
    }
    std::unordered_map<std::string_view, const LibraryTrack*> byId;
    for (const auto& t : read->tracks) byId.emplace(t.persistentId.view(), &t);
    for (const auto& p : read->playlists) {
      if (!p.exportedByDefault()) continue;
      PlaylistRow row{p.persistentId, p.name, 0, 0, 0, true};
      for (const auto& item : p.items) {
        auto t = byId.find(item);
        if (t == byId.end()) continue;
        ++row.tracks;
        row.seconds += static_cast<double>(t->second->totalTimeMs.value_or(0)) / 1000.0;
        // As the plan counts: unchecked tracks are not copied.
        if (!t->second->disabled && t->second->onThisComputer())
          row.bytesToCopy +=
              static_cast<uint64_t>(std::max<int64_t>(t->second->size.value_or(0), 0));
      }
      out.rows.push_back(std::move(row));
    }
    out.library = file;
    reply(done, std::move(out));
  });
}

void ExportWorker::netTotal(const std::vector<std::string>& ids, std::function<void(Totals)> done) {
  post([=, this] {
    if (!session_) return reply(done, Totals{});
    session_->choose(ids);
    uint64_t space = 0;
    auto bytes = session_->bytesToCopy(false, &space);
    reply(done, Totals{bytes ? *bytes : 0, session_->bytesOnDrive(), bytes ? space : 0});
  });
}

// The window's export leaves the drive holding the checked playlists:
// copy, cover images and playlist files, then the clean-up of what the
// exporter wrote for playlists no longer checked (first, when the copy
// fits only once they are gone).
std::string ExportWorker::exportTo(const std::vector<std::string>& ids, bool removeStale,
                                   const std::function<void(CopyProgress)>& progress, Exported* out,
                                   ExportReport& report) {
  if (!session_) return kNoLibrary;
  options_.cleanAll = false;
  session_->setCleanAll(false);
  session_->choose(ids);
  report.add({{"library", session_->libraryFile()},
              {"destination", session_->root()},
              {"mode", session_->mode()}});
  if (!prepared_) {
    auto removed = session_->prepare();
    if (!removed) return removed.error().message();
    report.add({{"unfinishedCopiesRemoved", *removed}});
    prepared_ = true;
  }
  auto planned = session_->plan();
  if (!planned) return planned.error().message();
  const ExportPlan& plan = **planned;
  report.add(planReport(plan));
  out->cleanRefusal = plan.cleanUpRefusal;
  const bool cleanUp = plan.cleanUp && removeStale;
  bool cleanFirst = cleanUp && !plan.fits() && plan.fitsAfterCleanUp();
  if (!plan.fits() && !cleanFirst) {
    // The drive is charged in whole clusters: that is the figure to free.
    return "The checked playlists need " + base::byteCountText(static_cast<double>(plan.spaceNeeded)) +
           " on the drive, but only " + base::byteCountText(static_cast<double>(plan.freeSpace)) + " is free on " +
           session_->root() + ". Uncheck some playlists or clean up first. Nothing was copied.";
  }
  if (cleanFirst) out->clean = session_->clean(true, &stop_);
  auto last = std::chrono::steady_clock::now() - std::chrono::milliseconds(kProgressMilliseconds);
  auto copied = session_->copy(
      [&](const CopyProgress& p) {
        auto now = std::chrono::steady_clock::now();
        if (p.copying && p.done < p.total &&
            now - last < std::chrono::milliseconds(kProgressMilliseconds))
          return;
        last = now;
        reply(progress, p);
      },
      &stop_);
  if (!copied) return copied.error().message();
  out->copy = std::move(*copied);
  report.add(renameReport(session_->renamed()));
  // Too short a copy says more about opening files than the rate.
  if (out->copy.seconds >= 1.0 && out->copy.bytesCopied >= (8u << 20))
    out->bytesPerSecond = static_cast<double>(out->copy.bytesCopied) / out->copy.seconds;
  report.add(copyReport(out->copy));
  out->stopped = stop_;
  if (!out->stopped) {
    out->covers = session_->covers(&stop_, &out->coversFailed);
    report.add({{"coverImages", out->covers}});
    nlohmann::json failed = nlohmann::json::array();
    for (const auto& f : out->coversFailed)
      failed.push_back({{"path", f.path}, {"reason", f.reason}});
    if (!failed.empty()) report.add({{"coverImagesNotWritten", failed}});
    out->playlists = session_->playlistFiles();
    report.add(playlistReport(out->playlists));
    if (cleanUp && !cleanFirst && !stop_) out->clean = session_->clean(true, &stop_);
  }
  if (cleanUp) report.add({{"stale", staleReport(plan, out->clean)}});
  out->stopped = stop_;
  out->notLookedAt = session_->notLookedAt();
  if (!out->notLookedAt.empty()) {
    nlohmann::json listed = nlohmann::json::array();
    for (const auto& f : out->notLookedAt)
      listed.push_back({{"path", f.path}, {"reason", f.localizedDescription}});
    report.add({{"notLookedAt", listed}});
  }
  bool ok = out->copy.notCopied.empty() && out->playlists.notWritten.empty() &&
            out->clean.notDeleted == 0 && out->coversFailed.empty() && out->notLookedAt.empty();
  report.add({{"status", out->stopped ? "interrupted" : ok ? "done" : "problems"}});
  out->refreshed = rows(ids);
  return "";
}

void ExportWorker::exportChosen(const std::vector<std::string>& ids, bool removeStale,
                                std::function<void(CopyProgress)> progress,
                                std::function<void(Exported)> done) {
  stop_ = false;
  post([=, this] {
    Exported out;
    ExportReport report;
    out.error = exportTo(ids, removeStale, progress, &out, report);
    if (!out.error.empty()) report.add({{"status", "error"}, {"error", out.error}});
    out.report = report.text();
    reply(done, std::move(out));
  });
}

void ExportWorker::listStale(const std::vector<std::string>& ids, bool everything,
                             std::function<void(StaleList)> done) {
  post([=, this] {
    StaleList out;
    if (!session_) {
      out.error = kNoLibrary;
      return reply(done, std::move(out));
    }
    options_.cleanAll = everything;
    session_->setCleanAll(everything);
    session_->choose(ids);
    out.error = prepare();
    auto planned = out.error.empty() ? session_->plan() : base::Result<const ExportPlan*>(nullptr);
    if (!planned) out.error = planned.error().message();
    if (out.error.empty()) {
      listed_ = **planned;
      out.refusal = (*planned)->cleanUpRefusal;
      out.items = (*planned)->stale;
      out.bytes = (*planned)->staleBytes;
    }
    reply(done, std::move(out));
  });
}

void ExportWorker::clean(std::function<void(Cleaned)> done) {
  post([=, this] {
    Cleaned out;
    if (!session_) {
      out.error = kNoLibrary;
      return reply(done, std::move(out));
    }
    out.outcome = session_->clean(true);
    ExportReport report;
    report.add({{"library", session_->libraryFile()}, {"destination", session_->root()}});
    report.add({{"stale", staleReport(listed_, out.outcome)}});
    out.report = report.text();
    auto planned = session_->plan();
    if (!planned) {
      out.error = planned.error().message();
      return reply(done, std::move(out));
    }
    std::vector<std::string> chosen;
    for (const auto& p : (*planned)->playlists) chosen.push_back(p.id);
    out.refreshed = rows(chosen);
    reply(done, std::move(out));
  });
}

void ExportWorker::eject(const std::string& title, std::function<void(drive::EjectOutcome)> done) {
  post([=, this] {
    if (session_) session_->choose({});
    session_.reset();
    prepared_ = false;
    drive::UdisksEjector ejector;
    reply(done, drive::ejectTessalineVolume(drive::DriveScanner(services_.drives()).scan(), title,
                                            ejector));
  });
}

}  // namespace app
