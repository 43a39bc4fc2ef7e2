// Draws the playlist table's places with our own cells: for each place it
// asks the table model for the column's cell made ready for the row (its
// value set and the table delegate's adjustments made), then lets the
// cell draw itself. A click or the space bar on a check box toggles it.
//
// Thread: main thread only.
#pragma once

#include <QStyledItemDelegate>

namespace app {

class PlaylistTableModel;

class CellItemDelegate : public QStyledItemDelegate {
 public:
  CellItemDelegate(PlaylistTableModel& model, QObject* parent)
      : QStyledItemDelegate(parent), model_(model) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

 private:
  PlaylistTableModel& model_;
};

}  // namespace app
