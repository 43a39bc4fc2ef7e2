// The model of a table view as its data source and delegate see it: a
// list of columns, a data source that answers the rows' object values,
// and a delegate that adjusts each cell before it is drawn and gives
// tool tips. A window's view asks preparedCell() for the cell of a place
// and draws it; nothing here draws.
//
// Ownership: the table owns its columns; data source and delegate are not
// owned and must outlive the table or be set back to none.
// Thread: main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "compat/drawing/Cell.h"
#include "compat/drawing/TableColumn.h"

namespace platform {

class TableView;

class TableDataSource {
 public:
  virtual ~TableDataSource() = default;
  virtual int numberOfRowsInTableView(TableView& table) = 0;
  // tableView:objectValueForTableColumn:row:
  virtual ObjectValue tableView(TableView& table, TableColumn& column, int row) = 0;
};

class TableViewDelegate {
 public:
  virtual ~TableViewDelegate() = default;
  // tableView:willDisplayCell:forTableColumn:row:
  virtual void tableView(TableView& table, Cell& cell, TableColumn& column, int row) {}
  // tableView:toolTipForCell:rect:tableColumn:row:mouseLocation:; none
  // for no tool tip. `rect` may be changed to where the tip applies.
  virtual std::optional<std::string> tableView(TableView& table, Cell& cell, Rect* rect,
                                               TableColumn& column, int row, Point mouseLocation) {
    return std::nullopt;
  }
};

class TableView {
 public:
  TableColumn& addTableColumn(std::unique_ptr<TableColumn> column);
  int numberOfColumns() const { return static_cast<int>(columns_.size()); }
  TableColumn& tableColumn(int index) const { return *columns_.at(static_cast<size_t>(index)); }
  // The first column with this identifier, or none.
  TableColumn* tableColumnWithIdentifier(const std::string& identifier) const;

  TableDataSource* dataSource() const { return dataSource_; }
  void setDataSource(TableDataSource* source) { dataSource_ = source; }
  TableViewDelegate* delegate() const { return delegate_; }
  void setDelegate(TableViewDelegate* delegate) { delegate_ = delegate; }
  int numberOfRows() { return dataSource_ ? dataSource_->numberOfRowsInTableView(*this) : 0; }

  // The column's cell made ready to draw `row`: its object value from the
  // data source, highlighted when the row is selected, then adjusted by
  // the delegate.
  Cell& preparedCell(int column, int row, bool selected);
  // The delegate's tool tip for a place (after preparing its cell).
  std::optional<std::string> toolTip(int column, int row, Rect cellRect, Point mouse);

 private:
  std::vector<std::unique_ptr<TableColumn>> columns_;
  TableDataSource* dataSource_ = nullptr;
  TableViewDelegate* delegate_ = nullptr;
};

}  // namespace platform
