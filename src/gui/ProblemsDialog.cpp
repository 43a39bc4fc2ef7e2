#include "gui/ProblemsDialog.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace app {

ProblemsDialog::ProblemsDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Problems");
  setSizeGripEnabled(true);
  auto* layout = new QVBoxLayout(this);
  list_ = new QTableWidget(0, 3, this);
  list_->setHorizontalHeaderLabels({"Track or file", "Reason", "Path"});
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->verticalHeader()->hide();
  list_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  list_->horizontalHeader()->setStretchLastSection(true);
  list_->setWordWrap(false);
  layout->addWidget(list_, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  auto* save = buttons->addButton("Save Report…", QDialogButtonBox::ActionRole);
  connect(save, &QPushButton::clicked, this, &ProblemsDialog::chooseAndSave);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::hide);
  layout->addWidget(buttons);
  resize(760, 360);
}

void ProblemsDialog::setProblems(const std::vector<Problem>& problems, std::string report) {
  report_ = std::move(report);
  // Filled unsorted: sorting while rows go in would scatter their cells.
  list_->setSortingEnabled(false);
  list_->setRowCount(static_cast<int>(problems.size()));
  int row = 0;
  for (const auto& p : problems) {
    int column = 0;
    for (const std::string* text : {&p.item, &p.reason, &p.path}) {
      auto* cell = new QTableWidgetItem(QString::fromStdString(*text));
      cell->setToolTip(cell->text());
      list_->setItem(row, column++, cell);
    }
    ++row;
  }
  list_->setSortingEnabled(true);
  list_->resizeColumnToContents(0);
  setWindowTitle(problems.size() == 1 ? QString("1 Problem")
                                      : QString("%1 Problems").arg(problems.size()));
}

std::string ProblemsDialog::saveReport(const QString& file) const {
  QFile out(file);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
    return "The report could not be written to " + file.toStdString() + ": " +
           out.errorString().toStdString();
  QByteArray bytes = QByteArray::fromStdString(report_);
  if (out.write(bytes) != bytes.size() || !out.flush())
    return "The report could not be written to " + file.toStdString() + ": " +
           out.errorString().toStdString();
  return "";
}

void ProblemsDialog::chooseAndSave() {
  QString file = QFileDialog::getSaveFileName(this, "Save Report", "tessaline-report.json",
                                              "JSON reports (*.json);;All files (*)");
  if (file.isEmpty()) return;
  std::string why = saveReport(file);
  if (!why.empty()) QMessageBox::warning(this, "Save Report", QString::fromStdString(why));
}

}  // namespace app
