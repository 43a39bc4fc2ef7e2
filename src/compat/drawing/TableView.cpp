#include "compat/drawing/TableView.h"

namespace platform {

TableColumn& TableView::addTableColumn(std::unique_ptr<TableColumn> column) {
  columns_.push_back(std::move(column));
  return *columns_.back();
}

TableColumn* TableView::tableColumnWithIdentifier(const std::string& identifier) const {
  for (const auto& c : columns_) {
    if (c->identifier() && *c->identifier() == identifier) return c.get();
  }
  return nullptr;
}

Cell& TableView::preparedCell(int column, int row, bool selected) {
  TableColumn& c = tableColumn(column);
  Cell& cell = c.dataCell();
  cell.setObjectValue(dataSource_ ? dataSource_->tableView(*this, c, row) : ObjectValue());
  cell.setHighlighted(selected);
  if (delegate_) delegate_->tableView(*this, cell, c, row);
  return cell;
}

std::optional<std::string> TableView::toolTip(int column, int row, Rect cellRect, Point mouse) {
  Cell& cell = preparedCell(column, row, false);
  if (!delegate_) return std::nullopt;
  return delegate_->tableView(*this, cell, &cellRect, tableColumn(column), row, mouse);
}

}  // namespace platform
