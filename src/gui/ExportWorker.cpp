#include "gui/ExportWorker.h"

#include <QMetaObject>
#include <set>

#include "drive/DriveScanner.h"
#include "platform/RunLoop.h"

namespace app {

namespace {
const char* const kNoLibrary = "No library is loaded.";
}  // namespace

ExportWorker::ExportWorker(QObject* receiver) : receiver_(receiver), context_(new QObject) {
  context_->moveToThread(&thread_);
  QObject::connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
  thread_.start();
  post([] { platform::MainRunLoop::shared().adoptCurrentThread(); });
}

ExportWorker::~ExportWorker() {
  stop_ = true;
  thread_.quit();
  thread_.wait();
  // The session's catalogue lives on; only this thread used it.
  session_.reset();
}

void ExportWorker::post(std::function<void()> step) {
  QMetaObject::invokeMethod(context_, std::move(step), Qt::QueuedConnection);
}

template <class R>
void ExportWorker::reply(std::function<void(R)> done, R result) {
  QMetaObject::invokeMethod(
      receiver_,
      [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); },
      Qt::QueuedConnection);
}

void ExportWorker::scanDrives(std::function<void(DriveScan)> done) {
  post([this, done = std::move(done)] {
    drive::DriveScan found = drive::DriveScanner().scan();
    DriveScan scan;
    for (const auto& v : found.offered()) scan.volumes.push_back({v.title, v.reason, v.usable});
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
  out.library = session_->libraryFile();
  out.root = session_->root();
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
    session_ = std::make_unique<ExportSession>(options_);
    if (auto loaded = session_->load(); !loaded) {
      out.error = loaded.error().message();
    } else {
      std::vector<std::string> all;
      for (const auto& [name, id] : session_->loadedPlaylists()) all.push_back(id);
      out = rows(all);
    }
    if (!out.error.empty()) session_.reset();
    reply(done, std::move(out));
  });
}

void ExportWorker::netTotal(const std::vector<std::string>& ids, std::function<void(double)> done) {
  post([=, this] {
    if (!session_) return reply(done, 0.0);
    session_->choose(ids);
    auto bytes = session_->bytesToCopy();
    reply(done, bytes ? static_cast<double>(*bytes) : 0.0);
  });
}

std::string ExportWorker::exportTo(const std::vector<std::string>& ids,
                                   const std::function<void(CopyProgress)>& progress,
                                   Exported* out) {
  if (!session_) return kNoLibrary;
  session_->choose(ids);
  if (std::string why = prepare(); !why.empty()) return why;
  auto planned = session_->plan();
  if (!planned) return planned.error().message();
  const ExportPlan& plan = **planned;
  if (!plan.fits()) {
    return "The checked playlists need " + std::to_string(plan.bytesToCopy) + " bytes, but only " +
           std::to_string(plan.freeSpace) + " bytes are free on " + session_->root() +
           ". Uncheck some playlists or clean up first. Nothing was copied.";
  }
  auto copied = session_->copy([&](const CopyProgress& p) { reply(progress, p); }, &stop_);
  if (!copied) return copied.error().message();
  out->copy = std::move(*copied);
  out->stopped = stop_;
  if (!out->stopped) {
    out->covers = session_->covers(&stop_);
    out->playlists = session_->playlistFiles();
  }
  out->refreshed = rows(ids);
  return "";
}

void ExportWorker::exportChosen(const std::vector<std::string>& ids,
                                std::function<void(CopyProgress)> progress,
                                std::function<void(Exported)> done) {
  stop_ = false;
  post([=, this] {
    Exported out;
    out.error = exportTo(ids, progress, &out);
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
    session_->choose(ids);
    out.error = prepare();
    auto planned = out.error.empty() ? session_->plan() : Outcome<const ExportPlan*>(nullptr);
    if (!planned) out.error = planned.error().message();
    if (out.error.empty()) {
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

}  // namespace app
