#include "gui/CellItemDelegate.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <algorithm>

#include "gui/PlaylistTableModel.h"

namespace app {
namespace {

// The rows' layout (a caption over a 10-pixel bar in 38) was made for a
// 12-pixel font; the desktop's point size would crowd the caption.
QFont rowFont(const QStyleOptionViewItem& option) {
  QFont font = option.font;
  font.setPixelSize(12);
  return font;
}

QPalette::ColorGroup colourGroup(const QStyleOptionViewItem& option) {
  if (!(option.state & QStyle::State_Enabled)) return QPalette::Disabled;
  return option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive;
}

void drawLine(QPainter* painter, const QRect& where, const QString& text, const QFont& font,
              const QColor& colour, Qt::Alignment vertical) {
  if (where.width() <= 0 || where.height() <= 0 || text.isEmpty()) return;
  painter->save();
  painter->setClipRect(where, Qt::IntersectClip);
  painter->setFont(font);
  painter->setPen(colour);
  painter->drawText(where, Qt::AlignLeft | vertical | Qt::TextSingleLine,
                    QFontMetrics(font).elidedText(text, Qt::ElideRight, where.width()));
  painter->restore();
}

}  // namespace

QRect CellItemDelegate::barRect(const QRect& place) {
  QRect inner = place.adjusted(kBarMargin, 1, -kBarMargin, 0);
  return {inner.left(), inner.bottom() + 1 - kBarBottomInset, std::max(0, inner.width()),
          kBarHeight};
}

void CellItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  QStyleOptionViewItem opt(option);
  initStyleOption(&opt, index);
  const QWidget* view = opt.widget;
  QStyle* style = view ? view->style() : QApplication::style();
  // The background alone (the selection's colour on a selected row): the
  // style's own text, check and focus drawing would not follow our layout.
  QStyleOptionViewItem panel(opt);
  panel.text.clear();
  panel.features &= ~QStyleOptionViewItem::HasCheckIndicator;
  style->drawPrimitive(QStyle::PE_PanelItemViewItem, &panel, painter, view);

  bool selected = opt.state & QStyle::State_Selected;
  QColor text =
      opt.palette.color(colourGroup(opt), selected ? QPalette::HighlightedText : QPalette::Text);
  QModelIndex check = index.siblingAtColumn(PlaylistTableModel::kCheck);
  bool checked = check.data(Qt::CheckStateRole).toInt() == Qt::Checked;
  switch (index.column()) {
    case PlaylistTableModel::kCheck:
      paintCheck(painter, opt, checked);
      break;
    case PlaylistTableModel::kSpace:
      // The caption keeps its colour in a row left out and its bar still
      // says what that row would need, in grey: no part of the export.
      paintSpace(painter, opt, index, text, checked);
      break;
    default: {
      // One line of 15 pixels, centred on the row below its 1-pixel gap.
      QRect row = opt.rect.adjusted(2, 1, -2, 0);
      QRect where = row.adjusted(0, std::max(0, (row.height() - 15) / 2), 0, 0);
      drawLine(painter, where, index.data(Qt::DisplayRole).toString(), rowFont(opt),
               checked ? text : kLeftOutText, Qt::AlignTop);
    }
  }
}

void CellItemDelegate::paintCheck(QPainter* painter, const QStyleOptionViewItem& option,
                                  bool checked) const {
  const QWidget* view = option.widget;
  QStyle* style = view ? view->style() : QApplication::style();
  QStyleOptionViewItem box(option);
  int w = style->pixelMetric(QStyle::PM_IndicatorWidth, &option, view);
  int h = style->pixelMetric(QStyle::PM_IndicatorHeight, &option, view);
  box.rect = QRect(option.rect.x() + (option.rect.width() - w) / 2,
                   option.rect.y() + (option.rect.height() - h) / 2, w, h);
  box.state = (option.state & (QStyle::State_Enabled | QStyle::State_Active)) |
              (checked ? QStyle::State_On : QStyle::State_Off);
  box.features |= QStyleOptionViewItem::HasCheckIndicator;
  box.checkState = checked ? Qt::Checked : Qt::Unchecked;
  style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &box, painter, view);
}

void CellItemDelegate::paintSpace(QPainter* painter, const QStyleOptionViewItem& option,
                                  const QModelIndex& index, const QColor& text,
                                  bool checked) const {
  QRect bar = barRect(option.rect);
  if (bar.width() <= 0) return;
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing, false);
  painter->fillRect(bar, kBarTrack);
  QRect inner = bar.adjusted(1, 1, -1, -1);
  double share = std::clamp(index.data(PlaylistTableModel::kBarShareRole).toDouble(), 0.0, 1.0);
  // A playlist with nothing left to copy shows its frame and track only:
  // a sliver of colour would read as something still to copy.
  double fill = inner.width() * share;
  bool overflow = index.data(PlaylistTableModel::kOverflowRole).toBool();
  if (fill > 0)
    painter->fillRect(QRectF(inner.x(), inner.y(), fill, inner.height()),
                      !checked ? kBarLeftOut : overflow ? kBarOverflow : kBarFill);
  painter->setPen(kBarFrame);
  painter->setBrush(Qt::NoBrush);
  // A 1-pixel pen draws right of and below a rectangle's edges: one less
  // keeps the frame on the bar.
  painter->drawRect(bar.adjusted(0, 0, -1, -1));
  painter->restore();

  QRect above(bar.left(), option.rect.top() + 1, bar.width(), bar.top() - option.rect.top() - 1);
  drawLine(painter, above, index.data(Qt::DisplayRole).toString(), rowFont(option), text,
           Qt::AlignTop);
}

QSize CellItemDelegate::sizeHint(const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
  return {QStyledItemDelegate::sizeHint(option, index).width(), kRowHeight};
}

bool CellItemDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                   const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (index.column() != PlaylistTableModel::kCheck || !(index.flags() & Qt::ItemIsUserCheckable))
    return false;
  bool toggle = false;
  if (event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    // Anywhere in the narrow column, not only on the box.
    toggle = mouse->button() == Qt::LeftButton && option.rect.contains(mouse->position().toPoint());
  } else if (event->type() == QEvent::KeyPress) {
    int key = static_cast<QKeyEvent*>(event)->key();
    toggle = key == Qt::Key_Space || key == Qt::Key_Select;
  }
  if (!toggle) return false;
  bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
  return model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}

}  // namespace app
