// The window's export session on a thread of its own, so that reading a
// library, scanning drives, copying and cleaning up never hold up the
// window. Every step is queued to that thread and runs there in order;
// its result comes back as a value to a callback run on the window's
// thread (Qt's queued calls both ways).
//
// Thread: the steps and the destructor from the receiver's thread, stop
// from any; the steps and the session only ever run on the worker's thread.
// Ownership: the receiver is not owned and must outlive the worker.
// Errors: a step that cannot go on reports its Status's message in its
// result's `error`; nothing is thrown to the window.
#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "drive/DriveEjector.h"
#include "session/ExportOptions.h"
#include "session/ExportReport.h"
#include "session/ExportSession.h"

namespace app {

struct DriveChoice {
  std::string title, toolTip, name;
  bool enabled = true;
};

struct DriveScan {
  std::vector<DriveChoice> volumes;
  int selected = -1;
  std::string explanation;  // why no usable drive is offered, if none is
};

struct PlaylistRow {
  std::string id, name;
  size_t tracks = 0;
  double seconds = 0;
  uint64_t bytesToCopy = 0;
  bool checked = true;
};

struct Loaded {
  std::string error;
  std::string library, root;
  std::vector<PlaylistRow> rows;
  uint64_t freeSpace = 0;
  uint64_t capacity = 0;      // of the destination's file system
  uint64_t bytesOnDrive = 0;  // the rows' tracks already there (all of them checked)
  std::string rememberKey;    // where this destination's checks are remembered
  // The checks remembered for it; none: nothing remembered yet.
  std::optional<std::vector<std::string>> remembered;
  std::string conversion;  // the codec remembered for it; "": none
  // What an export's clean-up would remove for any ticks among the rows.
  session::Removals removals;
};

// What the checked playlists need and keep on the drive.
struct Totals {
  uint64_t bytesToCopy = 0, bytesOnDrive = 0;
  uint64_t spaceNeeded = 0;  // bytesToCopy in the drive's clusters
};

struct Exported {
  std::string error;
  bool stopped = false;
  CopyOutcome copy;
  size_t covers = 0;
  std::vector<CoverFailure> coversFailed;
  std::vector<base::FileError> notLookedAt;  // taken as absent
  PlaylistOutcome playlists;
  // The clean-up that leaves the drive holding the checked playlists
  // only: what the exporter wrote that none of them needs.
  CleanOutcome clean;
  std::string cleanRefusal;   // why none ran, when one could not
  double bytesPerSecond = 0;  // the copy's measured rate; 0 when too little was copied
  std::string report;         // the JSON report, as `export --json` writes it
  Loaded refreshed;           // the rows' figures after the export
};

struct StaleList {
  std::string error, refusal;
  std::vector<StaleItem> items;
  uint64_t bytes = 0;  // of the items that would be deleted
};

struct Cleaned {
  std::string error;
  CleanOutcome outcome;
  std::string report;  // the JSON report of the clean-up
  Loaded refreshed;
};

class ExportWorker {
 public:
  // Results are delivered on `receiver`'s thread.
  ExportWorker(QObject* receiver, Services services);
  ~ExportWorker();  // waits for the current step, drops the queued ones

  void scanDrives(std::function<void(DriveScan)> done);
  // `to` a folder, or else `drive` a volume title; `library` empty: the
  // usual places.
  void load(const std::string& library, const std::string& to, const std::string& drive,
            std::function<void(Loaded)> done);
  // The library's playlists before a destination is chosen: their
  // tracks, playing time and size as the library records them (nothing
  // is on a destination yet, so all of it is to copy); `root` stays empty.
  void preview(const std::string& library, std::function<void(Loaded)> done);
  void netTotal(const std::vector<std::string>& ids, std::function<void(Totals)> done);
  // With `removeStale` false, nothing is removed: the clean-up of what no
  // checked playlist needs is left for another time.
  void exportChosen(const std::vector<std::string>& ids, bool removeStale,
                    std::function<void(CopyProgress)> progress, std::function<void(Exported)> done);
  void listStale(const std::vector<std::string>& ids, bool everything,
                 std::function<void(StaleList)> done);
  void clean(std::function<void(Cleaned)> done);
  // Ejects the drive volume of this title through udisks2, after the
  // loaded session lets go of it (its lock and open folders).
  void eject(const std::string& title, std::function<void(drive::EjectOutcome)> done);

  // Progress reaches the window this often during a copy.
  static constexpr int kProgressMilliseconds = 100;

  // Ends the copy at the next track boundary.
  void stop() { stop_ = true; }

 private:
  bool onWorkerThread() const;
  void post(std::function<void()> step);
  template <class R>
  void reply(std::function<void(R)> done, R result);
  Loaded rows(const std::vector<std::string>& chosen);
  // Takes the destination's lock once per library; "" or why it cannot.
  std::string prepare();
  // The export of the playlists `ids`, into *out; "" or why it stopped.
  std::string exportTo(const std::vector<std::string>& ids, bool removeStale,
                       const std::function<void(CopyProgress)>& progress, Exported* out,
                       ExportReport& report);

  QObject* receiver_;
  QThread thread_;
  QObject* context_;  // lives on thread_
  std::atomic<bool> stop_{false};
  // Worker thread only:
  ExportOptions options_;
  Services services_;
  std::unique_ptr<ExportSession> session_;
  bool prepared_ = false;
  ExportPlan listed_;  // the plan the clean-up's list came from
};

}  // namespace app
