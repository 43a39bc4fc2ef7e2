#include "gui/MainWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <set>

#include "drive/DriveScanner.h"
#include "gui/CellItemDelegate.h"
#include "gui/PlaylistTableModel.h"
#include "gui/QtDockTile.h"
#include "gui/QtProgressBar.h"
#include "ui/PlaylistSpaceUsageCell.h"
#include "ui/SelectorText.h"
#include "ui/ZtDockProgressIndicator.h"

namespace app {
namespace {

constexpr int kKindRole = Qt::UserRole;
constexpr int kValueRole = Qt::UserRole + 1;
enum Kind { kDrive = 1, kFolder, kChooseFolder };

QString q(const std::string& s) { return QString::fromStdString(s); }
QString bytes(double b) { return q(ui::PlaylistSpaceUsageCell::bytesString(b)); }

QSettings settings() { return QSettings("Tessaline", "Tessaline Exporter"); }

}  // namespace

MainWindow::MainWindow(WindowOptions options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)) {
  setWindowTitle("Tessaline Exporter");
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);

  auto* heading = new QLabel(q(ui::SelectorText().confirmPrompt()), central);
  heading->setWordWrap(true);
  QFont headingFont = heading->font();
  headingFont.setBold(true);
  heading->setFont(headingFont);
  layout->addWidget(heading);

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
  layout->addLayout(destinationRow);
  explanation_ = new QLabel(central);
  explanation_->setWordWrap(true);
  explanation_->hide();
  layout->addWidget(explanation_);

  model_ = new PlaylistTableModel(this);
  table_ = new QTableView(central);
  table_->setModel(model_);
  table_->setItemDelegate(new CellItemDelegate(*model_, table_));
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setShowGrid(false);
  table_->verticalHeader()->hide();
  table_->verticalHeader()->setDefaultSectionSize(38);
  table_->horizontalHeader()->setSectionResizeMode(PlaylistTableModel::kSpace,
                                                   QHeaderView::Stretch);
  table_->setColumnWidth(PlaylistTableModel::kCheck, 30);
  table_->setColumnWidth(PlaylistTableModel::kName, 170);
  table_->setColumnWidth(PlaylistTableModel::kTracks, 60);
  table_->setColumnWidth(PlaylistTableModel::kDuration, 100);
  layout->addWidget(table_, 1);

  totals_ = new QLabel(central);
  layout->addWidget(totals_);
  progressBar_ = new QProgressBar(central);
  progressBar_->setTextVisible(false);
  progressBar_->hide();
  layout->addWidget(progressBar_);
  status_ = new QLabel(central);
  status_->setWordWrap(true);
  layout->addWidget(status_);

  auto* buttons = new QHBoxLayout;
  cleanUp_ = new QPushButton("Clean Up…", central);
  cleanUp_->setToolTip("Delete the files on the destination that no checked playlist needs");
  buttons->addWidget(cleanUp_);
  cleanEverything_ = new QCheckBox("Also files the exporter did not write", central);
  buttons->addWidget(cleanEverything_);
  buttons->addStretch(1);
  cancel_ = new QPushButton("Cancel", central);
  cancel_->setEnabled(false);
  buttons->addWidget(cancel_);
  export_ = new QPushButton("Export", central);
  export_->setDefault(true);
  buttons->addWidget(export_);
  layout->addLayout(buttons);
  setCentralWidget(central);
  resize(820, 560);

  progress_ = std::make_unique<QtProgressBar>(*progressBar_);
  tile_ = std::make_shared<QtDockTile>(*this);
  tile_->restoreStandardIcon();
  dock_ = std::make_unique<ui::ZtDockProgressIndicator>(tile_);
  dock_->setProgress(progress_.get());
  worker_ = std::make_unique<ExportWorker>(this);

  connect(chooseLibrary_, &QPushButton::clicked, this, &MainWindow::chooseLibrary);
  connect(destination_, QOverload<int>::of(&QComboBox::activated), this,
          &MainWindow::destinationChosen);
  connect(model_, &PlaylistTableModel::checksChanged, this, &MainWindow::updateTotals);
  connect(export_, &QPushButton::clicked, this, &MainWindow::startExport);
  connect(cancel_, &QPushButton::clicked, this, [this] {
    worker_->stop();
    status_->setText("Stopping after the current track…");
    cancel_->setEnabled(false);
  });
  connect(cleanUp_, &QPushButton::clicked, this, &MainWindow::startCleanUp);

  library_ = !options_.library.empty() ? options_.library
                                       : settings().value("library").toString().toStdString();
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
      reload();
    } else {
      destination_->setCurrentIndex(-1);
      status_->setText("Choose where to export to.");
    }
  });
}

MainWindow::~MainWindow() {
  // The worker's results may still be queued to this window: stop it first.
  worker_.reset();
  dock_->setProgress(nullptr);
}

void MainWindow::chooseLibrary() {
  QString file = QFileDialog::getOpenFileName(this, "Choose the library export", q(library_),
                                              "Library exports (*.xml);;All files (*)");
  if (file.isEmpty()) return;
  library_ = file.toStdString();
  settings().setValue("library", file);
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
  reload();
}

void MainWindow::reload() {
  int index = destination_->currentIndex();
  if (index < 0 || busy_) return;
  int kind = destination_->itemData(index, kKindRole).toInt();
  std::string value = destination_->itemData(index, kValueRole).toString().toStdString();
  libraryLabel_->setText(library_.empty() ? "(the usual places)" : q(library_));
  setBusy(true, "Reading the library…");
  worker_->load(library_, kind == kFolder ? value : "", kind == kDrive ? value : "",
                [this](Loaded loaded) { showLoaded(std::move(loaded)); });
}

void MainWindow::showLoaded(Loaded loaded) {
  setBusy(false, "");
  if (!loaded.error.empty()) {
    model_->setRows({});
    root_.clear();
    showError("The library could not be loaded.", loaded.error);
    updateTotals();
    return;
  }
  root_ = loaded.root;
  freeSpace_ = loaded.freeSpace;
  if (library_.empty()) library_ = loaded.library;
  libraryLabel_->setText(q(loaded.library));
  if (options_.library.empty()) settings().setValue("library", q(loaded.library));
  // Keep the person's checks across a reload of the same playlists.
  std::set<std::string> unchecked;
  for (const auto& r : model_->rows()) {
    if (!r.checked) unchecked.insert(r.id);
  }
  for (auto& r : loaded.rows) r.checked = r.checked && !unchecked.count(r.id);
  model_->setRows(std::move(loaded.rows));
  status_->setText(QString("%1 playlists in %2.").arg(model_->rowCount()).arg(q(loaded.library)));
  updateTotals();
  emit this->loaded();
}

void MainWindow::updateTotals() {
  auto ids = model_->checkedIds();
  export_->setEnabled(!busy_ && !root_.empty() && !ids.empty());
  cleanUp_->setEnabled(!busy_ && !root_.empty());
  if (root_.empty()) {
    totals_->clear();
    return;
  }
  worker_->netTotal(ids, [this, count = ids.size()](double net) {
    bool overflow = net > static_cast<double>(freeSpace_);
    model_->setOverflow(overflow);
    totals_->setText(QString("%1 checked playlists need %2; %3 free on %4.")
                         .arg(count)
                         .arg(bytes(net), bytes(static_cast<double>(freeSpace_)), q(root_)));
    totals_->setStyleSheet(overflow ? "color: #c0392b; font-weight: bold" : "");
  });
}

void MainWindow::setBusy(bool busy, const QString& what) {
  busy_ = busy;
  for (QWidget* w :
       std::initializer_list<QWidget*>{chooseLibrary_, destination_, table_, cleanUp_, export_}) {
    w->setEnabled(!busy);
  }
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
    progressBar_->setRange(0, QtProgressBar::kSteps);
    progressBar_->hide();
  }
}

void MainWindow::showError(const QString& what, const std::string& error) {
  status_->setText(what + " " + q(error));
  // Window-modal, not a nested event loop: a window under test or a
  // screenshot must not stop here.
  auto* copy =
      new QMessageBox(QMessageBox::Warning, "Tessaline Exporter", what, QMessageBox::Ok, this);
  copy->setInformativeText(q(error) + "\n\n" + q(ui::SelectorText().failurePrompt()));
  copy->setAttribute(Qt::WA_DeleteOnClose);
  copy->open();
}

void MainWindow::startExport() {
  auto ids = model_->checkedIds();
  if (ids.empty() || busy_) return;
  setBusy(true, "Copying…");
  progressBar_->setRange(0, QtProgressBar::kSteps);
  cancel_->setEnabled(true);
  dock_->setHidden(false);
  dock_->setMinValue(0);
  dock_->setMaxValue(1);
  dock_->setDoubleValue(0);
  worker_->exportChosen(
      ids, [this](CopyProgress p) { showProgress(p); },
      [this](Exported r) { showExported(std::move(r)); });
}

void MainWindow::showProgress(const CopyProgress& p) {
  if (!busy_ || !p.copying) return;
  if (dock_->maxValue() != static_cast<double>(p.total))
    dock_->setMaxValue(static_cast<double>(p.total));
  dock_->setDoubleValue(static_cast<double>(p.done));
  status_->setText(QString("Copying… %1 of %2").arg(bytes(p.done), bytes(p.total)));
}

void MainWindow::showExported(Exported r) {
  cancel_->setEnabled(false);
  dock_->setHidden(true);
  setBusy(false, "");
  if (!r.error.empty()) {
    showError("The export did not run.", r.error);
  } else {
    if (r.refreshed.error.empty()) {
      freeSpace_ = r.refreshed.freeSpace;
      std::set<std::string> checked;
      for (const auto& id : model_->checkedIds()) checked.insert(id);
      for (auto& row : r.refreshed.rows) row.checked = checked.count(row.id) != 0;
      model_->setRows(std::move(r.refreshed.rows));
    }
    QString text = r.stopped ? "Stopped: " : q(ui::SelectorText().completionPrompt()) + "\nDone: ";
    text += QString("%1 copied, %2 tracks on the drive")
                .arg(bytes(r.copy.bytesCopied))
                .arg(r.copy.tracksOnDrive);
    if (!r.stopped) text += QString(", %1 playlist files written").arg(r.playlists.written.size());
    text += ".";
    size_t problems = r.copy.notCopied.size() + r.playlists.notWritten.size();
    if (problems > 0) {
      std::string details;
      for (const auto& f : r.copy.notCopied)
        details += f.title + " (" + f.source + "): " + f.reason + "\n";
      for (const auto& f : r.playlists.notWritten) details += f.file + ": " + f.reason + "\n";
      text += QString(" %1 could not be done; see the details.").arg(problems);
      if (!r.stopped) showError(QString("%1 items could not be exported.").arg(problems), details);
    }
    status_->setText(text);
  }
  updateTotals();
  emit exported();
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
      status_->setText(
          kept.isEmpty()
              ? "Nothing to clean up."
              : QString("Nothing of the exporter's to clean up; %1 other items are kept.")
                    .arg(kept.size()));
      return;
    }
    QMessageBox box(QMessageBox::Question, "Clean Up",
                    QString("Delete %1 items (%2) that no checked playlist needs?")
                        .arg(doomed.size())
                        .arg(bytes(static_cast<double>(list.bytes))),
                    QMessageBox::Cancel, this);
    box.addButton("Delete", QMessageBox::DestructiveRole);
    box.setInformativeText(
        everything ? "Everything listed goes, also files the exporter did not write."
                   : QString("Only files the exporter wrote are deleted; %1 other items are kept.")
                         .arg(kept.size()));
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
      std::string details;
      for (const auto& item : c.outcome.items) {
        deleted += item.deleted;
        if (!item.deleted && item.item.ours && !item.kept)
          details += item.item.path + ": " + item.reason + "\n";
      }
      if (c.refreshed.error.empty()) {
        freeSpace_ = c.refreshed.freeSpace;
        std::set<std::string> checked;
        for (const auto& id : model_->checkedIds()) checked.insert(id);
        for (auto& row : c.refreshed.rows) row.checked = checked.count(row.id) != 0;
        model_->setRows(std::move(c.refreshed.rows));
      }
      status_->setText(QString("Deleted %1 items.").arg(deleted));
      if (c.outcome.notDeleted > 0) {
        showError(QString("%1 items could not be deleted.").arg(c.outcome.notDeleted), details);
      }
      updateTotals();
    });
  });
}

}  // namespace app
