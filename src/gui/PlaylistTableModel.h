// The playlist table's rows for the window: export check box, name,
// tracks, playing time, and the space column (the caption of what is
// still to copy, and its bar's share, scaled to the largest playlist).
// Thread: main thread only.
// Ownership: holds copies of the rows; errors: none, a bad index answers nothing.
#pragma once

#include <QAbstractTableModel>
#include <string>
#include <vector>

#include "gui/ExportWorker.h"

namespace app {

class PlaylistTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kCheck, kName, kTracks, kDuration, kSpace, kColumnCount };
  // The space column's bar: the share of its width to fill (0...1), and
  // whether the checked playlists overflow the destination (bars in red).
  static constexpr int kBarShareRole = Qt::UserRole;
  static constexpr int kOverflowRole = Qt::UserRole + 1;

  explicit PlaylistTableModel(QObject* parent = nullptr);

  void setRows(std::vector<PlaylistRow> rows);
  const std::vector<PlaylistRow>& rows() const { return rows_; }
  void setChecked(int row, bool checked);
  std::vector<std::string> checkedIds() const;
  // The copy rate the captions' estimates use; 0: none known, no estimate.
  void setCopyRate(double bytesPerSecond);
  double copyRate() const { return rate_; }
  void setOverflow(bool overflow);
  bool overflow() const { return overflow_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 signals:
  void checksChanged();

 private:
  QString caption(const PlaylistRow& row) const;
  void spaceChanged();

  std::vector<PlaylistRow> rows_;
  double largest_ = 1;
  double rate_ = 0;
  bool overflow_ = false;
};

}  // namespace app
