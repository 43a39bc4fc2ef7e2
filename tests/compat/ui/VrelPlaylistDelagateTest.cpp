#include <gtest/gtest.h>

#include "compat/drawing/ButtonCell.h"
#include "compat/drawing/TextFieldCell.h"
#include "compat/ui/PlaylistSpaceUsageCell.h"
#include "compat/ui/VrelPlaylistDelagate.h"

namespace ui {
namespace {

using platform::Color;
using platform::ObjectValue;

// Rows' check box values, by row.
class Source : public platform::TableDataSource {
 public:
  std::vector<ObjectValue> checks;
  int numberOfRowsInTableView(platform::TableView&) override {
    return static_cast<int>(checks.size());
  }
  ObjectValue tableView(platform::TableView&, platform::TableColumn& column, int row) override {
    return column.identifier() == "check" || column.identifier() == "Export" ? checks.at(row)
                                                                             : ObjectValue("text");
  }
};

struct Table {
  platform::TableView view;
  Source source;
  VrelPlaylistDelagate delegate;
  platform::TableColumn *check, *name, *space;
  explicit Table(std::optional<std::string> checkId) {
    VrelPlaylistDelagate::forgetCheckIdentifier();
    check = &view.addTableColumn(std::make_unique<platform::TableColumn>(
        checkId, "", std::make_unique<platform::ButtonCell>()));
    name = &view.addTableColumn(std::make_unique<platform::TableColumn>(
        "name", "Name", std::make_unique<platform::TextFieldCell>()));
    space = &view.addTableColumn(std::make_unique<platform::TableColumn>(
        "space", "Space", std::make_unique<PlaylistSpaceUsageCell>()));
    view.setDataSource(&source);
    view.setDelegate(&delegate);
  }
  Color nameColour(int row) {
    return static_cast<platform::TextFieldCell&>(view.preparedCell(1, row, false)).textColor();
  }
};

TEST(VrelPlaylistDelagate, GreysTheRowsWhoseCheckBoxIsAFalseNumber) {
  Table t("check");
  t.source.checks = {ObjectValue(0), ObjectValue(false), ObjectValue("0"), ObjectValue(1),
                     ObjectValue()};
  EXPECT_EQ(t.nameColour(0), Color::controlTextColor());  // nothing learnt yet
  t.view.preparedCell(0, 0, false);
  EXPECT_EQ(VrelPlaylistDelagate::checkIdentifier(), "check");
  const Color expected[] = {Color::disabledControlTextColor(), Color::disabledControlTextColor(),
                            Color::controlTextColor(), Color::controlTextColor(),
                            Color::controlTextColor()};
  for (int row = 0; row < 5; ++row) EXPECT_EQ(t.nameColour(row), expected[row]) << row;
}

TEST(VrelPlaylistDelagate, ColumnWithoutIdentifierIsNamedExportAndLearntAtTheNextCheckBox) {
  Table t(std::nullopt);
  t.source.checks = {ObjectValue(0)};
  t.view.preparedCell(0, 0, false);
  EXPECT_EQ(t.check->identifier(), "Export");
  EXPECT_FALSE(VrelPlaylistDelagate::checkIdentifier());
  EXPECT_EQ(t.nameColour(0), Color::controlTextColor());
  t.view.preparedCell(0, 0, false);
  EXPECT_EQ(VrelPlaylistDelagate::checkIdentifier(), "Export");
  EXPECT_EQ(t.nameColour(0), Color::disabledControlTextColor());
}

TEST(VrelPlaylistDelagate, BarsAreMiniWithThresholdsForNormalOrOverflowAndCaptionTips) {
  Table t("check");
  t.source.checks = {ObjectValue(1)};
  auto& cell = static_cast<PlaylistSpaceUsageCell&>(t.space->dataCell());
  cell.setMaxValue(500);
  struct Case {
    bool overflow;
    double warning, critical;
  };
  for (Case c : {Case{false, 501, 502}, Case{true, 0.001, 0.002}}) {
    t.delegate.setOverflow(c.overflow);
    t.view.preparedCell(2, 0, false);
    EXPECT_EQ(cell.controlSize(), platform::ControlSize::kMini);
    EXPECT_DOUBLE_EQ(cell.warningValue(), c.warning);
    EXPECT_DOUBLE_EQ(cell.criticalValue(), c.critical);
  }
  EXPECT_FALSE(t.view.toolTip(2, 0, {}, {}));
  cell.setCaption("Road Trip: 3 tracks");
  EXPECT_EQ(t.view.toolTip(2, 0, {}, {}), "Road Trip: 3 tracks");
  EXPECT_FALSE(t.view.toolTip(1, 0, {}, {}));
  EXPECT_EQ(VrelPlaylistDelagate::object_getClassName(cell), "PlaylistSpaceUsageCell");
}

}  // namespace
}  // namespace ui
