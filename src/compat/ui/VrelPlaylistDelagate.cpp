#include "compat/ui/VrelPlaylistDelagate.h"

#include "compat/drawing/ButtonCell.h"
#include "compat/drawing/LevelIndicatorCell.h"
#include "compat/drawing/TextFieldCell.h"
#include "compat/ui/PlaylistSpaceUsageCell.h"

namespace ui {
namespace {

std::optional<std::string> gCheckIdentifier;

// Whether the check box value says "unchecked": a number (or boolean)
// object that is false. Texts, even "0", do not count.
bool isUnchecked(const platform::ObjectValue& value) {
  const base::Value* v = value.scalar();
  return v && (v->isNumber() || v->isBool()) && !v->boolValue();
}

}  // namespace

const std::optional<std::string>& VrelPlaylistDelagate::checkIdentifier() {
  return gCheckIdentifier;
}

void VrelPlaylistDelagate::forgetCheckIdentifier() { gCheckIdentifier.reset(); }

void VrelPlaylistDelagate::tableView(platform::TableView& table, platform::Cell& cell,
                                     platform::TableColumn& column, int row) {
  if (!gCheckIdentifier && dynamic_cast<platform::ButtonCell*>(&cell)) {
    if (column.identifier()) {
      gCheckIdentifier = column.identifier();
    } else {
      column.setIdentifier("Export");
    }
    return;
  }
  if (auto* text = dynamic_cast<platform::TextFieldCell*>(&cell); text && gCheckIdentifier) {
    bool disabled = false;
    if (platform::TableColumn* check = table.tableColumnWithIdentifier(*gCheckIdentifier);
        check && table.dataSource()) {
      disabled = isUnchecked(table.dataSource()->tableView(table, *check, row));
    }
    text->setTextColor(disabled ? platform::Color::disabledControlTextColor()
                                : platform::Color::controlTextColor());
    return;
  }
  if (auto* level = dynamic_cast<platform::LevelIndicatorCell*>(&cell)) {
    level->setControlSize(platform::ControlSize::kMini);
    double maximum = level->maxValue();
    double minimum = level->minValue();
    double warning = overflow_ ? minimum + 0.001 : maximum + 1.0;
    double critical = overflow_ ? minimum + 0.002 : maximum + 2.0;
    level->setWarningValue(warning);
    level->setCriticalValue(critical);
  }
}

std::optional<std::string> VrelPlaylistDelagate::tableView(platform::TableView&,
                                                           platform::Cell& cell, platform::Rect*,
                                                           platform::TableColumn&, int,
                                                           platform::Point) {
  auto* usage = dynamic_cast<PlaylistSpaceUsageCell*>(&cell);
  if (!usage || !usage->caption() || usage->caption()->empty()) return std::nullopt;
  return usage->caption();
}

}  // namespace ui
