// Cells drawn offscreen into an image, checked pixel by pixel.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdlib>
#include <functional>

#include "compat/drawing/PainterContext.h"
#include "compat/drawing/TextFieldCell.h"
#include "compat/ui/PlaylistSpaceUsageCell.h"

namespace ui {
namespace {

using platform::Color;
using platform::ObjectValue;
using D = ObjectValue::Dictionary;

QGuiApplication& app() {
  static int argc = 1;
  static char name[] = "test_ui";
  static char* argv[] = {name, nullptr};
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static QGuiApplication a(argc, argv);
  return a;
}

QImage draw(platform::Cell& cell, QColor background, bool highlighted = false) {
  app();
  QImage image(200, 40, QImage::Format_ARGB32);
  image.fill(background);
  QPainter painter(&image);
  platform::PainterContext context(painter);
  platform::ControlView view{&context, true, true, false};
  cell.setHighlighted(highlighted);
  cell.drawWithFrame({0, 0, 200, 40}, view);
  return image;
}

QRgb q(const Color& c) { return QColor::fromRgbF(c.red, c.green, c.blue, c.alpha).rgb(); }

// The pixels of a region that satisfy a test.
int countIn(const QImage& image, QRect region, const std::function<bool(QColor)>& test) {
  int n = 0;
  for (int y = region.top(); y <= region.bottom(); ++y) {
    for (int x = region.left(); x <= region.right(); ++x) n += test(image.pixelColor(x, y));
  }
  return n;
}

TEST(CellDrawing, BarFillsInProportionAndTakesTheColourOfItsThreshold) {
  struct Case {
    double value;
    Color colour;
    int fillEnd;  // first column not wholly filled: 1 + 198 * share
  };
  for (Case c : {Case{500, platform::LevelIndicatorCell::kNormalColor, 100},
                 Case{600, platform::LevelIndicatorCell::kWarningColor, 119},
                 Case{800, platform::LevelIndicatorCell::kCriticalColor, 159},
                 Case{2000, platform::LevelIndicatorCell::kCriticalColor, 199}}) {
    PlaylistSpaceUsageCell cell;
    cell.setObjectValue(ObjectValue(D{{"psumMode", 1},
                                      {"psumLIMinValue", 0},
                                      {"psumLIMaxValue", 1000},
                                      {"psumLIWarningValue", 600},
                                      {"psumLICriticalValue", 800},
                                      {"psumLIValue", c.value},
                                      {"psumStrCaption", ""}}));
    QImage image = draw(cell, Qt::white);
    // Bar rows 25...34 (10 high, 5 above the bottom); frame on its edges.
    EXPECT_EQ(image.pixel(c.fillEnd - 1, 30), q(c.colour)) << c.value;
    if (c.fillEnd < 198) {
      EXPECT_EQ(image.pixel(c.fillEnd + 1, 30), q(platform::LevelIndicatorCell::kTrackColor));
    }
    EXPECT_EQ(image.pixel(100, 25), q(platform::LevelIndicatorCell::kFrameColor));
    EXPECT_EQ(image.pixel(100, 34), q(platform::LevelIndicatorCell::kFrameColor));
    EXPECT_EQ(image.pixel(100, 24), QColor(Qt::white).rgb());
    EXPECT_EQ(image.pixel(100, 35), QColor(Qt::white).rgb());
  }
}

TEST(CellDrawing, CaptionAboveTheBarBlackOrWhiteWhenSelected) {
  PlaylistSpaceUsageCell cell;
  cell.setObjectValue(
      ObjectValue(D{{"psumMode", 1}, {"psumLIValue", 1.0}, {"psumStrCaption", "Road Trip"}}));
  auto dark = [](QColor c) { return c.value() < 80; };
  auto light = [](QColor c) { return c.value() > 200; };
  QImage plain = draw(cell, Qt::white);
  EXPECT_GT(countIn(plain, {0, 0, 120, 25}, dark), 20);
  EXPECT_EQ(countIn(plain, {120, 0, 80, 25}, dark), 0);  // the caption is short
  QImage selected = draw(cell, Qt::black, true);
  EXPECT_GT(countIn(selected, {0, 0, 120, 25}, light), 20);
  // Nothing at all in modes that show nothing.
  cell.setObjectValue(ObjectValue(D{{"psumMode", 0}, {"psumStrCaption", "x"}}));
  EXPECT_EQ(
      countIn(draw(cell, Qt::white), {0, 0, 200, 40}, [](QColor c) { return c != Qt::white; }), 0);
}

TEST(CellDrawing, DisabledTextIsGrey) {
  platform::TextFieldCell cell;
  cell.setObjectValue(ObjectValue("Sunday"));
  cell.setTextColor(Color::disabledControlTextColor());
  QImage image = draw(cell, Qt::white);
  int darkest = 255;
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 200; ++x) darkest = std::min(darkest, image.pixelColor(x, y).value());
  }
  EXPECT_NEAR(darkest, 140, 12);
  cell.setTextColor(Color::controlTextColor());
  image = draw(cell, Qt::white);
  EXPECT_EQ(countIn(image, {0, 0, 200, 40}, [](QColor c) { return c.value() < 30; }) > 0, true);
}

}  // namespace
}  // namespace ui
