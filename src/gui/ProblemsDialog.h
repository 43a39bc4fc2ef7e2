// The problems of the last export or clean-up as a list a person can
// resize, sort and keep open beside the window: one row per item that
// failed (the track or file, the reason, its path), and Save Report…,
// which writes the export's JSON report (the one `export --json` prints).
//
// Thread: main thread only.
// Errors: a report that cannot be written is said in a message box
// naming the file and why; nothing else is changed.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QTableWidget;

namespace app {

struct Problem {
  std::string item, reason, path;
};

class ProblemsDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ProblemsDialog(QWidget* parent = nullptr);

  void setProblems(const std::vector<Problem>& problems, std::string report);
  QTableWidget& list() { return *list_; }
  // Writes the report to `file`; an empty string, or why it failed.
  std::string saveReport(const QString& file) const;

 private:
  void chooseAndSave();

  QTableWidget* list_;
  std::string report_;
};

}  // namespace app
