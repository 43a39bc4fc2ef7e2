// The copy's progress as the window shows it: its bar, and the window's
// icon drawn as the artwork with a bar over its lower edge.
#include <gtest/gtest.h>

#include <QIcon>
#include <QProgressBar>
#include <QWidget>
#include <cmath>

#include "TestApplication.h"
#include "gui/ProgressTile.h"

namespace app {
namespace {

QImage comparable(const QImage& image) {
  return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage iconOf(const QWidget& window) {
  return comparable(window.windowIcon().pixmap(ProgressTile::kTileSide).toImage());
}

TEST(WindowProgressTile, FillsItsShareInQuarterPixels) {
  struct {
    double share, width;
  } cases[] = {{0, 0},   {1, 118}, {0.5, 59}, {1.0 / 3, 39.25},
               {2, 118}, {-1, 0},  {NAN, 0},  {INFINITY, 0}};
  for (const auto& c : cases) EXPECT_EQ(ProgressTile::fillWidth(c.share), c.width) << c.share;
}

TEST(WindowProgressTile, DrawsTheBarOverTheArtwork) {
  testgui::application();
  QImage artwork = ProgressTile::standardIcon();
  ASSERT_FALSE(artwork.isNull()) << "the DockIcon artwork is missing";
  ASSERT_EQ(artwork.width(), ProgressTile::kTileSide);
  QImage half = ProgressTile::tileImage(0.5);
  ASSERT_EQ(half.size(), QSize(ProgressTile::kTileSide, ProgressTile::kTileSide));
  // Twelve rows above the bottom, in the bar: the fill ends after 59 of
  // its 118 pixels, white after it.
  int y = ProgressTile::kTileSide - 1 - 12;
  EXPECT_NE(half.pixelColor(63, y), QColor(Qt::white));
  EXPECT_EQ(half.pixelColor(64, y), QColor(Qt::white));
  EXPECT_EQ(ProgressTile::tileImage(0).pixelColor(5, y), QColor(Qt::white));
  EXPECT_NE(ProgressTile::tileImage(1).pixelColor(122, y), QColor(Qt::white));
  // Above the bar the artwork is left as it is.
  EXPECT_EQ(half.pixel(64, 40), comparable(artwork).pixel(64, 40));
}

TEST(WindowProgressTile, ShowsTheCopyOnTheBarAndTheIconThenPutsTheArtworkBack) {
  testgui::application();
  QWidget window;
  QProgressBar bar(&window);
  bar.hide();
  ProgressTile tile(window, bar);
  QImage artwork = comparable(ProgressTile::standardIcon());
  EXPECT_EQ(iconOf(window), artwork);
  EXPECT_FALSE(tile.shown());

  tile.show(5, 10);
  EXPECT_TRUE(tile.shown());
  EXPECT_DOUBLE_EQ(tile.share(), 0.5);
  EXPECT_FALSE(bar.isHidden());
  EXPECT_EQ(bar.value(), ProgressTile::kSteps / 2);
  EXPECT_EQ(iconOf(window), comparable(ProgressTile::tileImage(0.5)));

  tile.show(30, 10);  // more than the total: a full bar
  EXPECT_EQ(bar.value(), ProgressTile::kSteps);
  EXPECT_EQ(iconOf(window), comparable(ProgressTile::tileImage(1)));
  tile.show(3, 0);  // no total yet: an empty bar
  EXPECT_EQ(bar.value(), 0);
  EXPECT_EQ(iconOf(window), comparable(ProgressTile::tileImage(0)));
  EXPECT_NE(iconOf(window), artwork);

  tile.hide();
  EXPECT_FALSE(tile.shown());
  EXPECT_TRUE(bar.isHidden());
  EXPECT_EQ(iconOf(window), artwork);
}

}  // namespace
}  // namespace app
