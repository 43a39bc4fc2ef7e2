#include "gui/CellItemDelegate.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "compat/drawing/PainterContext.h"
#include "gui/PlaylistTableModel.h"

namespace app {

void CellItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  bool selected = option.state & QStyle::State_Selected;
  const QWidget* view = option.widget;
  painter->save();
  painter->fillRect(option.rect, selected ? option.palette.highlight() : option.palette.base());
  platform::Cell& cell = model_.table().preparedCell(index.column(), index.row(), selected);
  platform::PainterContext context(*painter);
  platform::ControlView control{&context, view && view->isActiveWindow(), view && view->hasFocus(),
                                false};
  QRect r = option.rect;
  // The space column keeps a margin so that neighbouring bars do not touch.
  int inset = index.column() == PlaylistTableModel::kSpace ? 4 : 0;
  cell.drawWithFrame({double(r.x() + inset), double(r.y() + 1), double(r.width() - 2 * inset),
                      double(r.height() - 1)},
                     control);
  painter->restore();
}

QSize CellItemDelegate::sizeHint(const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  return {size.width(), 38};
}

bool CellItemDelegate::editorEvent(QEvent* event, QAbstractItemModel*, const QStyleOptionViewItem&,
                                   const QModelIndex& index) {
  if (index.column() != PlaylistTableModel::kCheck) return false;
  bool toggle = event->type() == QEvent::MouseButtonRelease &&
                static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton;
  toggle = toggle || (event->type() == QEvent::KeyPress &&
                      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space);
  if (!toggle) return false;
  model_.setChecked(index.row(), !model_.rows().at(static_cast<size_t>(index.row())).checked);
  return true;
}

}  // namespace app
