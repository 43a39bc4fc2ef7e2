// Paints the playlist table's places itself (QPainter and the style): check
// boxes, texts (grey in a row left out), and the space column's caption over
// a bar, green, or red while the checked playlists overflow; a click or the
// space bar on a check box toggles it through the model.
// Thread: main thread only. Ownership: nothing of the model or view. Errors: none.
#pragma once

#include <QColor>
#include <QStyledItemDelegate>

namespace app {

class CellItemDelegate : public QStyledItemDelegate {
 public:
  static constexpr int kRowHeight = 38;
  // The space column's bar, near the bottom of its place.
  static constexpr int kBarHeight = 10;
  static constexpr int kBarBottomInset = 15;  // from the place's bottom to the bar's top
  static constexpr int kBarMargin = 4;        // left and right, so neighbouring bars stay apart
  static inline const QColor kBarFill{64, 179, 64}, kBarOverflow{217, 38, 38},
      kBarTrack{224, 224, 224}, kBarFrame{140, 140, 140}, kLeftOutText{140, 140, 140},
      kBarLeftOut{188, 188, 188};  // the fill of a playlist not exported

  explicit CellItemDelegate(QObject* parent = nullptr) : QStyledItemDelegate(parent) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

  // Where the space column draws its bar within a place.
  static QRect barRect(const QRect& place);

 private:
  void paintCheck(QPainter* painter, const QStyleOptionViewItem& option, bool checked) const;
  void paintSpace(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                  const QColor& text, bool checked) const;
};

}  // namespace app
