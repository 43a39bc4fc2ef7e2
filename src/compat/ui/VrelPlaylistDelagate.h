// The playlist table's delegate. Before the table draws a cell it:
//   - learns, from the first check box cell it sees, which column holds
//     the export check boxes (a column without identifier is named
//     "Export" first, and learnt at the next check box);
//   - draws the text cells of an unchecked row (its check box value a
//     number or boolean that is false) in the disabled text colour, all
//     others in the normal one;
//   - makes level indicators mini-sized, with thresholds that keep the
//     bar normal (maximum + 1, + 2) or, in overflow, make it critical
//     (minimum + 0.001, + 0.002).
// The tool tip of a space usage cell is its caption.
//
// Thread: main thread only; the learnt column identifier is one value
// for the whole process, unguarded.
#pragma once

#include <optional>
#include <string>

#include "compat/drawing/TableView.h"

namespace ui {

class VrelPlaylistDelagate : public platform::TableViewDelegate {
 public:
  void setOverflow(bool overflow) { overflow_ = overflow; }

  // tableView:willDisplayCell:forTableColumn:row:
  void tableView(platform::TableView& table, platform::Cell& cell, platform::TableColumn& column,
                 int row) override;
  // tableView:toolTipForCell:rect:tableColumn:row:mouseLocation:
  std::optional<std::string> tableView(platform::TableView& table, platform::Cell& cell,
                                       platform::Rect* rect, platform::TableColumn& column, int row,
                                       platform::Point mouseLocation) override;

  // The name of the object's class.
  static std::string object_getClassName(const platform::Cell& object) {
    return object.className();
  }

  // The check box column's identifier, once learnt.
  static const std::optional<std::string>& checkIdentifier();
  // Forgets it, as a new process would (for tests).
  static void forgetCheckIdentifier();

 private:
  bool overflow_ = false;
};

}  // namespace ui
