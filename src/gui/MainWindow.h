// The exporter's window: the library, the destination (the Tessaline
// drive popup, or any folder), the playlist table with each playlist's
// space usage, and the Export and Clean Up steps with their progress.
// All work runs on the export worker's thread; the window only shows its
// results and never waits for it.
//
// The headline says what Export will do, or what is still to choose; it
// and the Export button name what the export removes at each tick.
// The library is remembered between runs (as is a folder chosen as the
// destination); the drive popup remembers its own choice; the checked
// playlists are remembered per destination (RememberedChoices), and
// Export leaves the destination holding those playlists only. The
// problems of the last step stay listed (Show Problems) with the JSON
// report the command line would write.
//
// Thread: main thread only.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "gui/CapacityBar.h"
#include "gui/ExportWorker.h"
#include "gui/ProblemsDialog.h"
#include "session/Removals.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;

namespace app {

class PlaylistTableModel;
class ProgressTile;

// What the first export that would remove files asks: the playlists whose
// files go, and how many files and bytes of the exporter's.
struct RemovalQuestion {
  QStringList playlists;
  size_t files = 0;
  uint64_t bytes = 0;
  QString destination;
};
struct RemovalAnswer {
  enum Choice { kRemove, kExportOnly, kCancel } choice = kCancel;
  bool remember = false;  // for this drive, from now on
};

struct WindowOptions {
  std::string library;  // empty: the remembered one, else the usual places
  std::string to;       // a folder to offer and choose first
  Services services;    // what its exports reach the machine through
};

// The rows of the problems list for an export's result: what was not
// copied, written or removed, and the places not looked at.
std::vector<Problem> problemsOf(const Exported& result);

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainWindow(WindowOptions options, QWidget* parent = nullptr);
  ~MainWindow() override;

  // For tests and the screenshot: the pieces a person would use.
  PlaylistTableModel& playlists() { return *model_; }
  QTableView& table() { return *table_; }
  QPushButton& exportButton() { return *export_; }
  QPushButton& cancelButton() { return *cancel_; }
  QPushButton& cleanUpButton() { return *cleanUp_; }
  QPushButton& ejectButton() { return *eject_; }
  QCheckBox& convertBox() { return *convert_; }
  QComboBox& convertToPopup() { return *convertTo_; }
  QComboBox& destinationPopup() { return *destination_; }
  QLabel& status() { return *status_; }
  QLabel& headline() { return *headline_; }
  QLabel& hint() { return *hint_; }
  QLabel& explanation() { return *explanation_; }
  CapacityBar& capacityBar() { return *capacity_; }
  QPushButton& problemsButton() { return *showProblems_; }
  ProblemsDialog& problems() { return *problems_; }
  // Asks the question instead of the window's dialog (tests).
  void setRemovalQuestion(std::function<RemovalAnswer(const RemovalQuestion&)> ask) {
    askRemoval_ = std::move(ask);
  }
  // Whether a step is under way (loading, exporting, cleaning up).
  bool busy() const { return busy_; }
  // The folder of the last load, empty before one succeeded.
  const std::string& root() const { return root_; }

 signals:
  void loaded();
  void exported();

 private:
  void scanDrives();
  void startEject();
  // A library file or database, or a folder of playlists.
  void chooseLibrary(bool folder);
  void destinationChosen(int index);
  void reload();
  void showLoaded(Loaded loaded);
  void updateTotals();
  void startExport();
  void runExport(const std::vector<std::string>& ids, bool removeStale);
  RemovalAnswer askRemoval(const RemovalQuestion& question);
  void showProgress(const CopyProgress& progress);
  void showExported(Exported result);
  void startCleanUp();
  void setBusy(bool busy, const QString& what);
  void updateHeadline();
  void rememberChecks();
  void conversionChosen();
  void showProblems(std::vector<Problem> problems, std::string report);
  void showError(const QString& what, const std::string& error);

  WindowOptions options_;
  std::function<RemovalAnswer(const RemovalQuestion&)> askRemoval_;
  std::string library_;
  std::string root_;
  uint64_t freeSpace_ = 0;
  uint64_t capacityBytes_ = 0;
  uint64_t checkedBytes_ = 0;  // what the checked playlists need, as last totalled
  std::string rememberKey_;
  // What the export's clean-up removes at each tick, from the last load's
  // plan, and the removal remembered for the drive ("remove", "keep", "").
  session::RemovalTally removal_;
  std::string removalChoice_;
  session::RemovalFigures removing() const;
  void takeRemovals(session::Removals removals);
  std::string destinationName_;  // the volume's or the folder's name, as the headline says it
  bool restoring_ = false;       // checks being set from the remembered ones
  bool busy_ = false;
  int lastDestination_ = -1;

  QLabel* libraryLabel_;
  QComboBox* destination_;
  QLabel* explanation_;
  QLabel* headline_;
  QLabel* hint_;
  CapacityBar* capacity_;
  QPushButton* showProblems_;
  ProblemsDialog* problems_;
  PlaylistTableModel* model_;
  QTableView* table_;
  QLabel* totals_;
  QProgressBar* progressBar_;
  QLabel* status_;
  QPushButton* export_;
  QPushButton* cancel_;
  QPushButton* cleanUp_;
  QCheckBox* cleanEverything_;
  QCheckBox* convert_;
  QComboBox* convertTo_;
  QPushButton* chooseLibrary_;
  QPushButton* eject_;

  std::unique_ptr<ProgressTile> progress_;  // the copy's, on the bar, the icon and the launcher
  std::unique_ptr<ExportWorker> worker_;
};

}  // namespace app
