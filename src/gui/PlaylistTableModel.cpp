#include "gui/PlaylistTableModel.h"

#include <algorithm>

#include "compat/drawing/ButtonCell.h"
#include "compat/drawing/TextFieldCell.h"
#include "compat/ui/PlaylistSpaceUsageCell.h"
#include "gui/Words.h"

namespace app {

using platform::ObjectValue;

PlaylistTableModel::PlaylistTableModel(QObject* parent) : QAbstractTableModel(parent) {
  auto add = [&](std::optional<std::string> id, const char* title,
                 std::unique_ptr<platform::Cell> cell) {
    columns_.push_back(&table_.addTableColumn(
        std::make_unique<platform::TableColumn>(id, title, std::move(cell))));
  };
  // The check box column has no identifier: the delegate names it.
  add(std::nullopt, "", std::make_unique<platform::ButtonCell>());
  add("name", "Playlist", std::make_unique<platform::TextFieldCell>());
  add("tracks", "Tracks", std::make_unique<platform::TextFieldCell>());
  add("duration", "Duration", std::make_unique<platform::TextFieldCell>());
  add("space", "Still to copy", std::make_unique<ui::PlaylistSpaceUsageCell>());
  table_.setDataSource(this);
  table_.setDelegate(&delegate_);
}

void PlaylistTableModel::setRows(std::vector<PlaylistRow> rows) {
  beginResetModel();
  rows_ = std::move(rows);
  largest_ = 1;
  for (const auto& r : rows_) largest_ = std::max(largest_, static_cast<double>(r.bytesToCopy));
  endResetModel();
}

void PlaylistTableModel::setChecked(int row, bool checked) {
  if (row < 0 || row >= rowCount() || rows_[static_cast<size_t>(row)].checked == checked) return;
  rows_[static_cast<size_t>(row)].checked = checked;
  emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
  emit checksChanged();
}

std::vector<std::string> PlaylistTableModel::checkedIds() const {
  std::vector<std::string> ids;
  for (const auto& r : rows_) {
    if (r.checked) ids.push_back(r.id);
  }
  return ids;
}

void PlaylistTableModel::setCopyRate(double bytesPerSecond) {
  rate_ = bytesPerSecond;
  if (!rows_.empty()) emit dataChanged(index(0, kSpace), index(rowCount() - 1, kSpace));
}

void PlaylistTableModel::setOverflow(bool overflow) {
  delegate_.setOverflow(overflow);
  if (!rows_.empty()) emit dataChanged(index(0, kSpace), index(rowCount() - 1, kSpace));
}

int PlaylistTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int PlaylistTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

ObjectValue PlaylistTableModel::tableView(platform::TableView&, platform::TableColumn& column,
                                          int row) {
  const PlaylistRow& r = rows_.at(static_cast<size_t>(row));
  auto at = std::find(columns_.begin(), columns_.end(), &column) - columns_.begin();
  switch (at) {
    case kCheck:
      return ObjectValue(r.checked ? 1 : 0);
    case kName:
      return ObjectValue(r.name);
    case kTracks:
      return ObjectValue(base::Value(static_cast<uint64_t>(r.tracks)));
    case kDuration:
      return ObjectValue(playingTime(r.seconds));
    case kSpace:
      return ObjectValue(ObjectValue::Dictionary{
          {"psumMode", 1},
          {"psumLIMaxValue", largest_},
          {"psumItemUncopiedSize", static_cast<double>(r.bytesToCopy)},
          {"psumItemExported", r.checked},
          {"psumItemName", r.name},
          {"psumItemTrackCount", base::Value(static_cast<uint64_t>(r.tracks))},
          {"psumItemDuration", r.seconds},
          // The cell's own caption assumes a fixed rate; this one is
          // the measured rate's, and has none before there is one.
          {"psumStrCaption", playlistCaption(r.name, r.tracks, r.seconds, r.bytesToCopy, rate_)},
      });
    default:
      return {};
  }
}

QVariant PlaylistTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  auto& self = const_cast<PlaylistTableModel&>(*this);
  if (role == Qt::ToolTipRole) {
    auto tip = self.table_.toolTip(index.column(), index.row(), {}, {});
    return tip ? QVariant(QString::fromStdString(*tip)) : QVariant();
  }
  if (role == Qt::CheckStateRole && index.column() == kCheck) {
    return rows_[static_cast<size_t>(index.row())].checked ? Qt::Checked : Qt::Unchecked;
  }
  if (role == Qt::DisplayRole && index.column() != kCheck) {
    // The text the cells show, for accessibility and searching.
    auto& column = self.table_.tableColumn(index.column());
    return QString::fromStdString(self.tableView(self.table_, column, index.row()).description());
  }
  return {};
}

QVariant PlaylistTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section >= kColumnCount)
    return {};
  return QString::fromStdString(table_.tableColumn(section).title());
}

bool PlaylistTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.column() != kCheck || role != Qt::CheckStateRole) return false;
  setChecked(index.row(), value.toInt() == Qt::Checked);
  return true;
}

Qt::ItemFlags PlaylistTableModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == kCheck) f |= Qt::ItemIsUserCheckable;
  return f;
}

}  // namespace app
