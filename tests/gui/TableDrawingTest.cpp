// The playlist table as the window draws it, read back from its pixels:
// the space bars' fill and colour, the texts of a playlist left out, the
// check boxes, and what each column says.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QImage>
#include <QTableView>
#include <QTest>
#include <algorithm>

#include "TestApplication.h"
#include "gui/CellItemDelegate.h"
#include "gui/PlaylistTableModel.h"
#include "gui/Words.h"

namespace app {
namespace {

using Column = PlaylistTableModel::Column;

class WindowTable : public testing::Test {
 protected:
  void SetUp() override {
    // Road Trip has nothing left to copy, Sunday is the largest and left
    // out, Mix needs half of what Sunday does.
    model_.setRows({{"r", "Road Trip", 6, 13, 0, true},
                    {"s", "Sunday", 3, 600, 8000000, false},
                    {"m", "Mix", 2, 200, 4000000, true}});
    view_.setModel(&model_);
    view_.setItemDelegate(&delegate_);
    view_.setSelectionBehavior(QAbstractItemView::SelectRows);
    view_.setShowGrid(false);
    view_.verticalHeader()->hide();
    view_.verticalHeader()->setDefaultSectionSize(CellItemDelegate::kRowHeight);
    view_.setColumnWidth(PlaylistTableModel::kCheck, 30);
    view_.setColumnWidth(PlaylistTableModel::kName, 170);
    view_.setColumnWidth(PlaylistTableModel::kTracks, 60);
    view_.setColumnWidth(PlaylistTableModel::kDuration, 100);
    view_.setColumnWidth(PlaylistTableModel::kSpace, 404);
    view_.resize(820, 300);
    view_.show();
  }
  void TearDown() override { view_.setItemDelegate(nullptr); }

  // The rows unselected: a click selects its row, whose colours are the style's.
  QImage shot() {
    view_.clearSelection();
    return view_.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }
  QRect place(int row, Column column) { return view_.visualRect(model_.index(row, column)); }
  // The bar's inside (within its frame) of a row.
  QRect barInside(int row) {
    return CellItemDelegate::barRect(place(row, PlaylistTableModel::kSpace)).adjusted(1, 1, -1, -1);
  }
  static QColor at(const QImage& image, int x, int y) { return image.pixelColor(x, y); }
  // The darkest grey in a part of the picture: where text is drawn.
  static int darkest(const QImage& image, const QRect& where) {
    int dark = 255;
    for (int y = where.top(); y <= where.bottom(); ++y)
      for (int x = where.left(); x <= where.right(); ++x)
        dark = std::min(dark, qGray(image.pixel(x, y)));
    return dark;
  }

  // Before the widgets: they need the application.
  QApplication& qt_ = testgui::application();
  PlaylistTableModel model_;
  CellItemDelegate delegate_;
  QTableView view_;
};

TEST_F(WindowTable, SpaceBarsFillTheirShareOfTheLargestPlaylist) {
  QImage image = shot();
  for (int row = 0; row < 3; ++row) {
    QRect bar = CellItemDelegate::barRect(place(row, PlaylistTableModel::kSpace));
    ASSERT_EQ(bar.width(), 404 - 2 * CellItemDelegate::kBarMargin) << row;
    EXPECT_EQ(at(image, bar.left(), bar.center().y()), CellItemDelegate::kBarFrame) << row;
  }
  QRect all = barInside(1), half = barInside(2), none = barInside(0);
  int mid = all.center().y();
  // Row 1 is left out: its full bar is grey, not part of the export.
  EXPECT_EQ(at(image, all.right(), mid), CellItemDelegate::kBarLeftOut);
  EXPECT_EQ(at(image, half.left() + half.width() * 2 / 5, half.center().y()),
            CellItemDelegate::kBarFill);
  EXPECT_EQ(at(image, half.left() + half.width() * 3 / 5, half.center().y()),
            CellItemDelegate::kBarTrack);
  // Nothing left to copy: the track alone, no colour that reads as a copy.
  EXPECT_EQ(at(image, none.left(), none.center().y()), CellItemDelegate::kBarTrack);
  EXPECT_EQ(at(image, none.left() + 4, none.center().y()), CellItemDelegate::kBarTrack);

  // Checked playlists that do not fit: their bars turn red, the left-out one stays grey.
  model_.setOverflow(true);
  image = shot();
  for (int row : {1, 2}) {
    QRect inside = barInside(row);
    EXPECT_EQ(at(image, inside.left(), inside.center().y()),
              row == 1 ? CellItemDelegate::kBarLeftOut : CellItemDelegate::kBarOverflow)
        << row;
  }
  model_.setOverflow(false);
  EXPECT_EQ(at(shot(), half.left() + 1, half.center().y()), CellItemDelegate::kBarFill);
}

TEST_F(WindowTable, CaptionsAndTextsSayEachPlaylistsFigures) {
  EXPECT_EQ(model_.headerData(PlaylistTableModel::kSpace, Qt::Horizontal, Qt::DisplayRole),
            "Still to copy");
  EXPECT_EQ(model_.data(model_.index(0, PlaylistTableModel::kTracks), Qt::DisplayRole), "6");
  EXPECT_EQ(model_.data(model_.index(1, PlaylistTableModel::kDuration), Qt::DisplayRole), "10:00");
  QModelIndex space = model_.index(2, PlaylistTableModel::kSpace);
  EXPECT_EQ(model_.data(space, Qt::ToolTipRole).toString().toStdString(),
            playlistCaption("Mix", 2, 200, 4000000, 0));
  model_.setCopyRate(1e6);
  EXPECT_EQ(model_.data(space, Qt::DisplayRole).toString().toStdString(),
            "Mix: 2 tracks, 3:20, 3.8 MB still to copy (about 0:04)");
  EXPECT_FALSE(model_.data(model_.index(0, PlaylistTableModel::kCheck), Qt::DisplayRole).isValid());

  QImage image = shot();
  // Black text for a checked playlist, grey for one left out; the
  // caption over each bar is drawn whether checked or not.
  EXPECT_LT(darkest(image, place(0, PlaylistTableModel::kName)), 80);
  int leftOut = darkest(image, place(1, PlaylistTableModel::kName));
  EXPECT_GE(leftOut, qGray(CellItemDelegate::kLeftOutText.rgb()) - 2);
  EXPECT_LT(leftOut, 200);  // drawn at all
  EXPECT_GE(darkest(image, place(1, PlaylistTableModel::kTracks)), leftOut - 2);
  for (int row = 0; row < 3; ++row) {
    QRect space = place(row, PlaylistTableModel::kSpace);
    QRect caption(space.left(), space.top(), space.width(),
                  CellItemDelegate::barRect(space).top() - space.top());
    EXPECT_LT(darkest(image, caption), 80) << row;
  }
}

TEST_F(WindowTable, CheckBoxesShowAndToggleTheChecks) {
  QImage image = shot();
  auto box = [&](int row) { return image.copy(place(row, PlaylistTableModel::kCheck)); };
  EXPECT_EQ(box(0), box(2));  // both checked
  EXPECT_NE(box(0), box(1));
  QTest::mouseClick(view_.viewport(), Qt::LeftButton, {},
                    place(1, PlaylistTableModel::kCheck).center());
  EXPECT_EQ(model_.checkedIds(), (std::vector<std::string>{"r", "s", "m"}));
  image = shot();
  EXPECT_EQ(box(0), box(1));
  // Its texts are no longer grey.
  EXPECT_LT(darkest(image, place(1, PlaylistTableModel::kName)), 80);

  view_.setCurrentIndex(model_.index(0, PlaylistTableModel::kCheck));
  QTest::keyClick(&view_, Qt::Key_Space);
  EXPECT_EQ(model_.checkedIds(), (std::vector<std::string>{"s", "m"}));
  // A click elsewhere in the row checks nothing.
  QTest::mouseClick(view_.viewport(), Qt::LeftButton, {},
                    place(0, PlaylistTableModel::kName).center());
  EXPECT_EQ(model_.checkedIds(), (std::vector<std::string>{"s", "m"}));
}

}  // namespace
}  // namespace app
