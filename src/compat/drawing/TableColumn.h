// One column of a table: an identifier (none until one is given), a
// title and the data cell that draws every row of the column.
//
// Ownership: the column owns its data cell.
// Thread: main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "compat/drawing/Cell.h"

namespace platform {

class TableColumn {
 public:
  TableColumn(std::optional<std::string> identifier, std::string title, std::unique_ptr<Cell> cell)
      : identifier_(std::move(identifier)), title_(std::move(title)), dataCell_(std::move(cell)) {}

  const std::optional<std::string>& identifier() const { return identifier_; }
  void setIdentifier(std::optional<std::string> identifier) { identifier_ = std::move(identifier); }
  const std::string& title() const { return title_; }
  Cell& dataCell() const { return *dataCell_; }

 private:
  std::optional<std::string> identifier_;
  std::string title_;
  std::unique_ptr<Cell> dataCell_;
};

}  // namespace platform
