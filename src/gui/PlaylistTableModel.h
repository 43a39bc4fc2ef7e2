// The playlist table's rows for the window: export check box, name,
// tracks, playing time and space usage. It is both the view's item model
// and the data source of the table model that our cells and the table
// delegate work with (platform::TableView): the check box column answers
// a number (1 or 0), the space column a psum dictionary in mode 1, scaled
// to the largest playlist, without thresholds of its own so that the
// delegate's normal or overflow thresholds hold.
//
// Thread: main thread only.
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "compat/drawing/TableView.h"
#include "compat/ui/VrelPlaylistDelagate.h"
#include "gui/ExportWorker.h"

namespace app {

class PlaylistTableModel : public QAbstractTableModel, public platform::TableDataSource {
  Q_OBJECT

 public:
  enum Column { kCheck, kName, kTracks, kDuration, kSpace, kColumnCount };

  explicit PlaylistTableModel(QObject* parent = nullptr);

  void setRows(std::vector<PlaylistRow> rows);
  const std::vector<PlaylistRow>& rows() const { return rows_; }
  void setChecked(int row, bool checked);
  std::vector<std::string> checkedIds() const;
  // The copy rate the captions' estimates use; 0: none known, no estimate.
  void setCopyRate(double bytesPerSecond);
  double copyRate() const { return rate_; }
  // Rows go into the overflow colours while set.
  void setOverflow(bool overflow);

  platform::TableView& table() { return table_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  int numberOfRowsInTableView(platform::TableView&) override {
    return static_cast<int>(rows_.size());
  }
  platform::ObjectValue tableView(platform::TableView& table, platform::TableColumn& column,
                                  int row) override;

 signals:
  void checksChanged();

 private:
  std::vector<PlaylistRow> rows_;
  double largest_ = 1;
  double rate_ = 0;
  platform::TableView table_;
  ui::VrelPlaylistDelagate delegate_;
  std::vector<platform::TableColumn*> columns_;
};

}  // namespace app
