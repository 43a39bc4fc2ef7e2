#include "gui/MainWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <filesystem>
#include <set>

#include "base/ByteCountText.h"
#include "base/Configuration.h"
#include "drive/DriveScanner.h"
#include "gui/CellItemDelegate.h"
#include "gui/PlaylistTableModel.h"
#include "gui/ProgressTile.h"
#include "gui/Words.h"
#include "library/LibraryReader.h"
#include "session/RememberedChoices.h"

namespace app {
namespace {

constexpr int kKindRole = Qt::UserRole;
constexpr int kValueRole = Qt::UserRole + 1;
enum Kind { kDrive = 1, kFolder, kChooseFolder };

// Where the music apps write the library file a person is asked for.
constexpr const char* kFirstStartHint =
    "Two choices make an export: your library and where to export to.\n"
    "The library is Rhythmbox's rhythmdb.xml, a Strawberry or Clementine database, a folder "
    "of playlist files, or the XML your music app writes: in iTunes or Music, File ▸ Library ▸ "
    "Export Library… (or \"Share iTunes Library XML with other applications\" in its Advanced "
    "settings, which keeps \"iTunes Library.xml\" up to date in your iTunes folder, such as "
    "~/Music/iTunes). Choose it with Choose….\n"
    "Then choose the Tessaline drive, or any folder, under Export to.";

QString q(const std::string& s) { return QString::fromStdString(s); }
QString bytes(double b) { return q(base::byteCountText(b)); }

// A path as a person reads it: their home folder as "~".
QString shown(const std::string& path, std::string home) {
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home.size() > 1 && path.compare(0, home.size(), home) == 0 &&
      (path.size() == home.size() || path[home.size()] == '/'))
    return "~" + q(path.substr(home.size()));
  return q(path);
}

QSettings settings() { return QSettings("Tessaline", "Tessaline Exporter"); }

}  // namespace

MainWindow::MainWindow(WindowOptions options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)) {
  setWindowTitle("Tessaline Exporter");
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);

  headline_ = new QLabel(central);
  headline_->setWordWrap(true);
  QFont headingFont = headline_->font();
  headingFont.setBold(true);
  headingFont.setPointSizeF(headingFont.pointSizeF() * 1.25);
  headline_->setFont(headingFont);
  layout->addWidget(headline_);
  hint_ = new QLabel(kFirstStartHint, central);
  hint_->setWordWrap(true);
  hint_->hide();
  layout->addWidget(hint_);

  auto* libraryRow = new QHBoxLayout;
  libraryRow->addWidget(new QLabel("Library:", central));
  libraryLabel_ = new QLabel(central);
  libraryLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  libraryRow->addWidget(libraryLabel_, 1);
  chooseLibrary_ = new QPushButton("Choose…", central);
  libraryRow->addWidget(chooseLibrary_);
  layout->addLayout(libraryRow);

  auto* destinationRow = new QHBoxLayout;
  destinationRow->addWidget(new QLabel("Export to:", central));
  destination_ = new QComboBox(central);
  destination_->setMinimumWidth(360);
  destinationRow->addWidget(destination_, 1);
  eject_ = new QPushButton("Eject", central);
  eject_->setToolTip("Flush, unmount and power off the drive so that it can be unplugged");
  eject_->setEnabled(false);
  destinationRow->addWidget(eject_);
  layout->addLayout(destinationRow);
  explanation_ = new QLabel(central);
  explanation_->setWordWrap(true);
  explanation_->hide();
  layout->addWidget(explanation_);

  model_ = new PlaylistTableModel(this);
  table_ = new QTableView(central);
  table_->setModel(model_);
  table_->setItemDelegate(new CellItemDelegate(table_));
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setShowGrid(false);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(CellItemDelegate::kRowHeight);
  table_->horizontalHeader()->setSectionResizeMode(PlaylistTableModel::kSpace,
                                                   QHeaderView::Stretch);
  table_->setColumnWidth(PlaylistTableModel::kCheck, 30);
  table_->setColumnWidth(PlaylistTableModel::kName, 170);
  table_->setColumnWidth(PlaylistTableModel::kTracks, 60);
  table_->setColumnWidth(PlaylistTableModel::kDuration, 100);
  layout->addWidget(table_, 1);

  capacity_ = new CapacityBar(central);
  capacity_->hide();
  layout->addWidget(capacity_);
  totals_ = new QLabel(central);
  totals_->setWordWrap(true);
  totals_->setTextFormat(Qt::RichText);
  layout->addWidget(totals_);
  progressBar_ = new QProgressBar(central);
  progressBar_->setTextVisible(false);
  progressBar_->hide();
  layout->addWidget(progressBar_);
  auto* statusRow = new QHBoxLayout;
  status_ = new QLabel(central);
  status_->setWordWrap(true);
  statusRow->addWidget(status_, 1);
  showProblems_ = new QPushButton("Show Problems", central);
  showProblems_->hide();
  statusRow->addWidget(showProblems_);
  layout->addLayout(statusRow);
  problems_ = new ProblemsDialog(this);

  auto* buttons = new QHBoxLayout;
  cleanUp_ = new QPushButton("Clean Up…", central);
  cleanUp_->setToolTip("Delete the files on the destination that no checked playlist needs");
  buttons->addWidget(cleanUp_);
  cleanEverything_ = new QCheckBox("Also files the exporter did not write", central);
  buttons->addWidget(cleanEverything_);
  buttons->addStretch(1);
  convert_ = new QCheckBox("Convert music the drive cannot play to", central);
  convert_->setToolTip(
      "Tracks of a format the drive does not play are converted instead of "
      "copied as they are; remembered for this drive");
  buttons->addWidget(convert_);
  convertTo_ = new QComboBox(central);
  convertTo_->addItems({"mp3", "aac", "opus", "vorbis"});
  buttons->addWidget(convertTo_);
  cancel_ = new QPushButton("Cancel", central);
  cancel_->setEnabled(false);
  buttons->addWidget(cancel_);
  export_ = new QPushButton("Export", central);
  export_->setDefault(true);
  buttons->addWidget(export_);
  layout->addLayout(buttons);
  setCentralWidget(central);
  resize(820, 560);

  progress_ = std::make_unique<ProgressTile>(*this, *progressBar_);
  worker_ = std::make_unique<ExportWorker>(this, options_.services);

  // A library is a file or a folder, which no one file dialog offers both of.
  auto* chooseMenu = new QMenu(chooseLibrary_);
  connect(chooseMenu->addAction("Library File or Database…"), &QAction::triggered, this,
          [this] { chooseLibrary(false); });
  connect(chooseMenu->addAction("Folder of Playlists…"), &QAction::triggered, this,
          [this] { chooseLibrary(true); });
  chooseLibrary_->setMenu(chooseMenu);
  connect(destination_, QOverload<int>::of(&QComboBox::activated), this,
          &MainWindow::destinationChosen);
  connect(convert_, &QCheckBox::toggled, this, &MainWindow::conversionChosen);
  connect(convertTo_, QOverload<int>::of(&QComboBox::activated), this, [this] {
    if (convert_->isChecked()) conversionChosen();
  });
  connect(model_, &PlaylistTableModel::checksChanged, this, [this] {
    removal_.setTicked(model_->checkedIds());
    rememberChecks();
    updateTotals();
  });
  connect(showProblems_, &QPushButton::clicked, this, [this] {
    problems_->show();
    problems_->raise();
  });
  model_->setCopyRate(settings().value("copyRate", 0.0).toDouble());
  connect(export_, &QPushButton::clicked, this, &MainWindow::startExport);
  connect(cancel_, &QPushButton::clicked, this, [this] {
    worker_->stop();
    status_->setText("Stopping after the current track…");
    cancel_->setEnabled(false);
  });
  connect(cleanUp_, &QPushButton::clicked, this, &MainWindow::startCleanUp);
  connect(eject_, &QPushButton::clicked, this, &MainWindow::startEject);

  library_ = !options_.library.empty() ? options_.library
                                       : settings().value("library").toString().toStdString();
  if (library_.empty())
    library_ = LibraryReader::defaultExport(options_.services.configuration->home).value_or("");
  libraryLabel_->setText(library_.empty() ? "(none chosen)"
                                          : shown(library_, options_.services.configuration->home));
  hint_->setVisible(library_.empty());
  updateHeadline();
  scanDrives();
}

void MainWindow::scanDrives() {
  setBusy(true, "Looking for Tessaline drives…");
  worker_->scanDrives([this](DriveScan scan) {
    destination_->clear();
    auto* items = qobject_cast<QStandardItemModel*>(destination_->model());
    for (const auto& v : scan.volumes) {
      destination_->addItem(QIcon::fromTheme(drive::DriveScanner::kVolumeImageName), q(v.title));
      int i = destination_->count() - 1;
      destination_->setItemData(i, kDrive, kKindRole);
      destination_->setItemData(i, q(v.title), kValueRole);
      destination_->setItemData(i, q(v.toolTip), Qt::ToolTipRole);
      items->item(i)->setEnabled(v.enabled);
    }
    if (!scan.volumes.empty()) destination_->insertSeparator(destination_->count());
    std::string folder = options_.to.empty()
                             ? settings().value("destination").toString().toStdString()
                             : options_.to;
    if (!folder.empty()) {
      destination_->addItem(QIcon::fromTheme("folder"), q(folder), kFolder);
      destination_->setItemData(destination_->count() - 1, q(folder), kValueRole);
    }
    destination_->addItem("Choose Folder…", kChooseFolder);
    int first = !options_.to.empty() ? destination_->findData(q(folder), kValueRole)
                : scan.selected >= 0 ? scan.selected
                : !folder.empty()    ? destination_->findData(q(folder), kValueRole)
                                     : -1;
    explanation_->setText(q(scan.explanation));
    explanation_->setVisible(!scan.explanation.empty() && scan.selected < 0);
    setBusy(false, "");
    if (first >= 0) {
      destination_->setCurrentIndex(first);
      lastDestination_ = first;
      // A folder chosen stands in for the missing drive: the banner is stale.
      if (destination_->itemData(first, kKindRole).toInt() == kFolder) explanation_->hide();
      reload();
    } else {
      destination_->setCurrentIndex(-1);
      status_->setText("Choose where to export to.");
      reload();  // the library's playlists meanwhile
    }
    updateHeadline();
  });
}

MainWindow::~MainWindow() {
  // The worker's results may still be queued to this window: stop it first.
  worker_.reset();
}

void MainWindow::chooseLibrary(bool folder) {
  QString file = folder ? QFileDialog::getExistingDirectory(this, "Choose the folder of playlists",
                                                            q(library_))
                        : QFileDialog::getOpenFileName(this, "Choose the library", q(library_),
                                                       "Libraries (*.xml *.db);;All files (*)");
  if (file.isEmpty()) return;
  library_ = file.toStdString();
  settings().setValue("library", file);
  libraryLabel_->setText(shown(library_, options_.services.configuration->home));
  hint_->hide();
  updateHeadline();
  reload();
}

void MainWindow::destinationChosen(int index) {
  if (destination_->itemData(index, kKindRole).toInt() == kChooseFolder) {
    QString folder = QFileDialog::getExistingDirectory(this, "Choose a folder to export to");
    if (folder.isEmpty()) {
      destination_->setCurrentIndex(lastDestination_);
      return;
    }
    settings().setValue("destination", folder);
    int at = destination_->findData(folder, kValueRole);
    if (at < 0) {
      at = destination_->count() - 1;  // before "Choose Folder…"
      destination_->insertItem(at, QIcon::fromTheme("folder"), folder, kFolder);
      destination_->setItemData(at, folder, kValueRole);
    }
    destination_->setCurrentIndex(at);
    index = at;
  }
  lastDestination_ = index;
  if (destination_->itemData(index, kKindRole).toInt() == kFolder) explanation_->hide();
  updateHeadline();
  reload();
}

void MainWindow::reload() {
  int index = destination_->currentIndex();
  if (busy_ || library_.empty()) return;
  int kind = index < 0 ? 0 : destination_->itemData(index, kKindRole).toInt();
  if (kind != kDrive && kind != kFolder) {
    setBusy(true, "Reading the library…");
    worker_->preview(library_, [this](Loaded loaded) { showLoaded(std::move(loaded)); });
    return;
  }
  std::string value = destination_->itemData(index, kValueRole).toString().toStdString();
  setBusy(true, "Reading the library…");
  worker_->load(library_, kind == kFolder ? value : "", kind == kDrive ? value : "",
                [this](Loaded loaded) { showLoaded(std::move(loaded)); });
}

void MainWindow::showLoaded(Loaded loaded) {
  setBusy(false, "");
  if (!loaded.error.empty()) {
    model_->setRows({});
    root_.clear();
    rememberKey_.clear();
    takeRemovals({});
    showError("The library could not be loaded.", loaded.error);
    updateTotals();
    return;
  }
  root_ = loaded.root;
  freeSpace_ = loaded.freeSpace;
  capacityBytes_ = loaded.capacity;
  if (library_.empty()) library_ = loaded.library;
  libraryLabel_->setText(shown(loaded.library, options_.services.configuration->home));
  if (options_.library.empty()) settings().setValue("library", q(loaded.library));
  if (loaded.remembered) {
    // The checks this destination was last exported (or left) with.
    std::set<std::string> on(loaded.remembered->begin(), loaded.remembered->end());
    for (auto& r : loaded.rows) r.checked = on.count(r.id) != 0;
  } else {
    // Keep the person's checks across a reload of the same playlists.
    std::set<std::string> unchecked;
    for (const auto& r : model_->rows()) {
      if (!r.checked) unchecked.insert(r.id);
    }
    for (auto& r : loaded.rows) r.checked = r.checked && !unchecked.count(r.id);
  }
  rememberKey_ = loaded.rememberKey;
  {
    QSignalBlocker quiet(convert_);
    convert_->setChecked(!loaded.conversion.empty());
    if (!loaded.conversion.empty()) convertTo_->setCurrentText(q(loaded.conversion));
  }
  model_->setRows(std::move(loaded.rows));
  removalChoice_ =
      rememberKey_.empty()
          ? ""
          : session::RememberedChoices(
                session::RememberedChoices::defaultFile(*options_.services.configuration),
                options_.services.fileManager())
                .removal(rememberKey_);
  takeRemovals(std::move(loaded.removals));
  status_->setText(q(countOf(static_cast<uint64_t>(model_->rowCount()), "playlist", "playlists")) +
                   " in " + q(std::filesystem::path(loaded.library).filename().string()) + "." +
                   (root_.empty() ? " Choose a drive or folder to export to." : ""));
  updateTotals();
  emit this->loaded();
}

void MainWindow::updateTotals() {
  auto ids = model_->checkedIds();
  export_->setEnabled(!busy_ && !root_.empty() && !ids.empty());
  cleanUp_->setEnabled(!busy_ && !root_.empty());
  if (root_.empty()) {
    totals_->clear();
    capacity_->hide();
    updateHeadline();
    return;
  }
  worker_->netTotal(ids, [this, count = ids.size()](Totals t) {
    checkedBytes_ = t.bytesToCopy;
    updateHeadline();
    const int index = destination_->currentIndex();
    CapacityParts parts{capacityBytes_, freeSpace_,    t.bytesOnDrive,
                        t.bytesToCopy,  t.spaceNeeded, removing().onDisk};
    parts.folderOnDisk = index >= 0 && destination_->itemData(index, kKindRole).toInt() == kFolder;
    // The drive is charged in whole clusters: a copy that fits only by the
    // files' bytes does not fit.
    bool overflow = !parts.fits();
    model_->setOverflow(overflow);
    capacity_->setParts(parts);
    capacity_->setVisible(capacityBytes_ > 0);
    totals_->setText((q(countOf(count, "checked playlist needs ", "checked playlists need ")) +
                      QString("%1; %2 free on %3.")
                          .arg(bytes(static_cast<double>(t.bytesToCopy)),
                               bytes(static_cast<double>(freeSpace_)), q(destinationName_)) +
                      (overflow ? " It does not fit: uncheck some playlists." : ""))
                         .toHtmlEscaped() +
                     (capacityBytes_ > 0 ? "<br>" + capacity_->legend(true) : ""));
    totals_->setStyleSheet(overflow ? "color: #c0392b; font-weight: bold" : "");
  });
}

void MainWindow::setBusy(bool busy, const QString& what) {
  busy_ = busy;
  for (QWidget* w : std::initializer_list<QWidget*>{chooseLibrary_, destination_, table_, cleanUp_,
                                                    export_, convert_, convertTo_}) {
    w->setEnabled(!busy);
  }
  int index = destination_->currentIndex();
  eject_->setEnabled(!busy && index >= 0 &&
                     destination_->itemData(index, kKindRole).toInt() == kDrive);
  if (!busy) {
    export_->setEnabled(!root_.empty() && !model_->checkedIds().empty());
    cleanUp_->setEnabled(!root_.empty());
  }
  if (busy) {
    status_->setText(what);
    // No measure of a library's reading: a busy bar.
    progressBar_->setRange(0, 0);
    progressBar_->show();
  } else {
    progressBar_->setRange(0, ProgressTile::kSteps);
    progressBar_->hide();
  }
}

void MainWindow::startEject() {
  int index = destination_->currentIndex();
  if (busy_ || index < 0 || destination_->itemData(index, kKindRole).toInt() != kDrive) return;
  std::string title = destination_->itemData(index, kValueRole).toString().toStdString();
  setBusy(true, "Ejecting " + q(title) + "…");
  worker_->eject(title, [this](drive::EjectOutcome out) {
    setBusy(false, "");
    if (!out.poweredOff) return showError("The drive was not ejected.", out.message);
    model_->setRows({});
    root_.clear();
    rememberKey_.clear();
    takeRemovals({});
    updateTotals();
    scanDrives();
    status_->setText(q(out.message));
  });
}

void MainWindow::updateHeadline() {
  HeadlineFacts facts;
  int index = destination_->currentIndex();
  int kind = index >= 0 ? destination_->itemData(index, kKindRole).toInt() : 0;
  facts.libraryLoaded = !library_.empty() && (root_.empty() || model_->rowCount() > 0);
  facts.destinationChosen = kind == kDrive || kind == kFolder;
  if (kind == kDrive) facts.destinationName = destination_->itemText(index).toStdString();
  if (kind == kFolder) {
    std::filesystem::path folder(
        destination_->itemData(index, kValueRole).toString().toStdString());
    facts.destinationName = folder.filename().empty() ? folder.parent_path().filename().string()
                                                      : folder.filename().string();
    if (facts.destinationName.empty()) facts.destinationName = folder.string();
  }
  facts.playlists = model_->checkedIds().size();
  facts.bytesToCopy = checkedBytes_;
  const session::RemovalFigures removed = removing();
  facts.removedPlaylists = removed.playlists;
  facts.removedFiles = removed.files;
  facts.removedTracks = removed.tracks;
  facts.removedBytes = removed.bytes;
  destinationName_ = facts.destinationName;
  headline_->setText(q(app::headline(facts)));
  export_->setText(q(exportButtonText(facts)));
}

// Nothing is said of a removal the drive's remembered choice forgoes.
session::RemovalFigures MainWindow::removing() const {
  if (root_.empty() || removalChoice_ == "keep") return {};
  return removal_.figures();
}

void MainWindow::takeRemovals(session::Removals removals) {
  removal_ = session::RemovalTally(std::move(removals));
  removal_.setTicked(model_->checkedIds());
}

void MainWindow::rememberChecks() {
  if (restoring_ || rememberKey_.empty()) return;
  session::RememberedChoices(
      session::RememberedChoices::defaultFile(*options_.services.configuration),
      options_.services.fileManager())
      .remember(rememberKey_, model_->checkedIds());
}

// The conversion is the drive's: remembered for it, then the plan is
// made again with it.
void MainWindow::conversionChosen() {
  if (busy_ || rememberKey_.empty()) return;
  session::RememberedChoices(
      session::RememberedChoices::defaultFile(*options_.services.configuration),
      options_.services.fileManager())
      .rememberConversion(rememberKey_,
                          convert_->isChecked() ? convertTo_->currentText().toStdString() : "");
  reload();
}

void MainWindow::showProblems(std::vector<Problem> problems, std::string report) {
  problems_->setProblems(problems, std::move(report));
  showProblems_->setText(problems.size() == 1 ? QString("Show Problem")
                                              : QString("Show %1 Problems").arg(problems.size()));
  showProblems_->setVisible(!problems.empty());
  if (problems.empty()) problems_->hide();
}

void MainWindow::showError(const QString& what, const std::string& error) {
  status_->setText(what + " " + q(error));
  // Window-modal, not a nested event loop: a window under test or a
  // screenshot must not stop here.
  auto* copy =
      new QMessageBox(QMessageBox::Warning, "Tessaline Exporter", what, QMessageBox::Ok, this);
  copy->setInformativeText(q(error));
  copy->setAttribute(Qt::WA_DeleteOnClose);
  copy->open();
}

// An export leaves the destination holding the checked playlists only;
// the first time that removes anything, the owner is asked, and may have
// the answer kept for the drive.
void MainWindow::startExport() {
  auto ids = model_->checkedIds();
  if (ids.empty() || busy_) return;
  const std::string key = rememberKey_;
  const auto choices = [this, key] {
    return session::RememberedChoices(
        session::RememberedChoices::defaultFile(*options_.services.configuration),
        options_.services.fileManager());
  };
  const std::string remembered = key.empty() ? "" : choices().removal(key);
  if (remembered == "remove" || remembered == "keep") return runExport(ids, remembered == "remove");
  setBusy(true, "Looking for files no checked playlist needs…");
  worker_->listStale(ids, false, [this, ids, key, choices](StaleList list) {
    setBusy(false, "");
    RemovalQuestion question;
    question.destination = q(destinationName_);
    for (const auto& item : list.items) {
      if (!item.ours || item.folder) continue;
      ++question.files;
      question.bytes += item.bytes;
      if (item.playlistFile) question.playlists << QString::fromStdString(
                                 std::filesystem::path(item.path).stem().string());
    }
    // A clean-up that cannot run here removes nothing: nothing to ask.
    if (!list.error.empty() || !list.refusal.empty() || question.files == 0)
      return runExport(ids, true);
    RemovalAnswer answer = askRemoval(question);
    if (answer.choice == RemovalAnswer::kCancel) {
      status_->setText("Nothing was exported.");
      return;
    }
    const bool remove = answer.choice == RemovalAnswer::kRemove;
    if (answer.remember && !key.empty() &&
        choices().rememberRemoval(key, remove ? "remove" : "keep"))
      removalChoice_ = remove ? "remove" : "keep";
    runExport(ids, remove);
  });
}

RemovalAnswer MainWindow::askRemoval(const RemovalQuestion& question) {
  if (askRemoval_) return askRemoval_(question);
  QString what = question.playlists.isEmpty()
                     ? q(countOf(question.files, "file", "files"))
                     : question.playlists.join(", ") + " (" +
                           q(countOf(question.files, "file", "files")) + ")";
  QMessageBox box(QMessageBox::Question, "Export",
                  "Export and remove " + what + QString(", %1, from %2?")
                                                   .arg(bytes(static_cast<double>(question.bytes)),
                                                        question.destination),
                  QMessageBox::NoButton, this);
  box.setInformativeText(
      "No checked playlist needs them. Only files the exporter wrote are removed; "
      "Export Only leaves them on the drive.");
  QPushButton* remove = box.addButton("Export and Remove", QMessageBox::DestructiveRole);
  QPushButton* only = box.addButton("Export Only", QMessageBox::AcceptRole);
  box.addButton(QMessageBox::Cancel);
  box.setDefaultButton(only);
  auto* keep = new QCheckBox("Do the same for this drive from now on");
  box.setCheckBox(keep);
  box.exec();
  RemovalAnswer answer;
  answer.choice = box.clickedButton() == remove ? RemovalAnswer::kRemove
                  : box.clickedButton() == only ? RemovalAnswer::kExportOnly
                                                : RemovalAnswer::kCancel;
  answer.remember = keep->isChecked();
  return answer;
}

void MainWindow::runExport(const std::vector<std::string>& ids, bool removeStale) {
  setBusy(true, "Copying…");
  progressBar_->setRange(0, ProgressTile::kSteps);
  cancel_->setEnabled(true);
  progress_->show(0, 1);
  worker_->exportChosen(
      ids, removeStale, [this](CopyProgress p) { showProgress(p); },
      [this](Exported r) { showExported(std::move(r)); });
}

void MainWindow::showProgress(const CopyProgress& p) {
  if (!busy_ || !p.copying) return;
  progress_->show(static_cast<double>(p.done), static_cast<double>(p.total));
  QString text = QString("Copying… %1 of %2").arg(bytes(p.done), bytes(p.total));
  if (p.tracks > 0) {
    text += QString(", %1 of %2").arg(p.tracksDone).arg(q(countOf(p.tracks, "track", "tracks")));
    if (p.converts > 0)
      text += QString(" (%1 of %2 converted)").arg(p.convertsDone).arg(p.converts);
  }
  status_->setText(text);
}

void MainWindow::showExported(Exported r) {
  cancel_->setEnabled(false);
  progress_->hide();
  setBusy(false, "");
  std::vector<Problem> problems;
  if (!r.error.empty()) {
    showError("The export did not run.", r.error);
    showProblems({}, r.report);
  } else {
    if (r.bytesPerSecond > 0) {
      settings().setValue("copyRate", r.bytesPerSecond);
      model_->setCopyRate(r.bytesPerSecond);
    }
    if (r.refreshed.error.empty()) {
      freeSpace_ = r.refreshed.freeSpace;
      capacityBytes_ = r.refreshed.capacity;
      std::set<std::string> checked;
      for (const auto& id : model_->checkedIds()) checked.insert(id);
      for (auto& row : r.refreshed.rows) row.checked = checked.count(row.id) != 0;
      model_->setRows(std::move(r.refreshed.rows));
      takeRemovals(std::move(r.refreshed.removals));
    }
    QString text = r.stopped ? "Stopped: " : "Done: ";
    text += QString("%1 copied, %2 on the drive")
                .arg(bytes(static_cast<double>(r.copy.bytesCopied)),
                     q(countOf(r.copy.tracksOnDrive, "track", "tracks")));
    if (!r.stopped)
      text += ", " + q(countOf(r.playlists.written.size(), "playlist file", "playlist files")) +
              " written";
    if (r.clean.deleted > 0)
      text += ", " + q(countOf(r.clean.deleted, "item", "items")) +
              " no checked playlist needs deleted";
    text += ".";
    if (!r.cleanRefusal.empty()) text += " No clean-up: " + q(r.cleanRefusal) + ".";
    problems = problemsOf(r);
    if (!problems.empty())
      text += " " + q(countOf(problems.size(), "item", "items")) + " could not be done.";
    status_->setText(text);
    showProblems(problems, r.report);
    if (!problems.empty() && !r.stopped) problems_->show();
  }
  updateTotals();
  emit exported();
}

std::vector<Problem> problemsOf(const Exported& r) {
  std::vector<Problem> problems;
  for (const auto& f : r.copy.notCopied) {
    if (r.stopped && f.reason == "the export was interrupted") continue;
    std::string track = f.artist.empty() ? f.title : f.artist + " – " + f.title;
    problems.push_back({track, f.reason, f.path.empty() ? f.source : f.path});
  }
  for (const auto& f : r.playlists.notWritten)
    problems.push_back({"Playlist “" + f.name + "”", f.reason, f.file});
  for (const auto& item : r.clean.items) {
    if (!item.deleted && item.item.ours && !item.kept && !item.notReached && r.clean.attempted)
      problems.push_back({"Stale item", item.reason, item.item.path});
  }
  for (const auto& f : r.coversFailed) problems.push_back({"Cover image", f.reason, f.path});
  for (const auto& f : r.notLookedAt)
    problems.push_back({"Not looked at", f.localizedDescription, f.path});
  return problems;
}

void MainWindow::startCleanUp() {
  if (busy_ || root_.empty()) return;
  bool everything = cleanEverything_->isChecked();
  setBusy(true, "Looking for files no checked playlist needs…");
  worker_->listStale(model_->checkedIds(), everything, [this, everything](StaleList list) {
    setBusy(false, "");
    if (!list.error.empty() || !list.refusal.empty()) {
      showError("No clean-up can run here.", list.error.empty() ? list.refusal : list.error);
      return;
    }
    QStringList doomed, kept;
    for (const auto& item : list.items) (item.ours ? doomed : kept) << q(item.path);
    if (doomed.isEmpty()) {
      status_->setText(kept.isEmpty() ? "Nothing to clean up."
                                      : "Nothing of the exporter's to clean up; " +
                                            q(countOf(kept.size(), "other item is kept.",
                                                      "other items are kept.")));
      return;
    }
    QMessageBox box(QMessageBox::Question, "Clean Up",
                    "Delete " + q(countOf(doomed.size(), "item", "items")) +
                        QString(" (%1) that no checked playlist needs?")
                            .arg(bytes(static_cast<double>(list.bytes))),
                    QMessageBox::Cancel, this);
    box.addButton("Delete", QMessageBox::DestructiveRole);
    box.setInformativeText(
        everything ? "Everything listed goes, also files the exporter did not write."
                   : "Only files the exporter wrote are deleted; " +
                         q(countOf(kept.size(), "other item is kept.", "other items are kept.")));
    box.setDetailedText(doomed.join("\n"));
    box.exec();
    if (box.buttonRole(box.clickedButton()) != QMessageBox::DestructiveRole) {
      status_->setText("Nothing was deleted.");
      return;
    }
    setBusy(true, "Cleaning up…");
    worker_->clean([this](Cleaned c) {
      setBusy(false, "");
      if (!c.error.empty()) return showError("The clean-up did not run.", c.error);
      size_t deleted = 0;
      std::vector<Problem> problems;
      for (const auto& item : c.outcome.items) {
        deleted += item.deleted;
        if (!item.deleted && item.item.ours && !item.kept)
          problems.push_back({"Stale item", item.reason, item.item.path});
      }
      if (c.refreshed.error.empty()) {
        freeSpace_ = c.refreshed.freeSpace;
        std::set<std::string> checked;
        for (const auto& id : model_->checkedIds()) checked.insert(id);
        for (auto& row : c.refreshed.rows) row.checked = checked.count(row.id) != 0;
        model_->setRows(std::move(c.refreshed.rows));
        takeRemovals(std::move(c.refreshed.removals));
      }
      status_->setText("Deleted " + q(countOf(deleted, "item", "items")) + ".");
      showProblems(problems, c.report);
      if (!problems.empty()) problems_->show();
      updateTotals();
    });
  });
}

}  // namespace app
