#include "gui/PlaylistTableModel.h"

#include <algorithm>

#include "gui/Words.h"

namespace app {

PlaylistTableModel::PlaylistTableModel(QObject* parent) : QAbstractTableModel(parent) {}

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
  // The whole row: its texts turn grey when it is left out.
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
  spaceChanged();
}

void PlaylistTableModel::setOverflow(bool overflow) {
  if (overflow_ == overflow) return;
  overflow_ = overflow;
  spaceChanged();
}

void PlaylistTableModel::spaceChanged() {
  if (!rows_.empty()) emit dataChanged(index(0, kSpace), index(rowCount() - 1, kSpace));
}

int PlaylistTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int PlaylistTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QString PlaylistTableModel::caption(const PlaylistRow& r) const {
  // With the measured rate's estimate, none before a copy measured one.
  return QString::fromStdString(playlistCaption(r.name, r.tracks, r.seconds, r.bytesToCopy, rate_));
}

QVariant PlaylistTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= kColumnCount) return {};
  const PlaylistRow& r = rows_[static_cast<size_t>(index.row())];
  switch (index.column()) {
    case kCheck:
      if (role == Qt::CheckStateRole) return r.checked ? Qt::Checked : Qt::Unchecked;
      return {};
    case kName:
      if (role == Qt::DisplayRole) return QString::fromStdString(r.name);
      return {};
    case kTracks:
      if (role == Qt::DisplayRole) return QString::number(static_cast<qulonglong>(r.tracks));
      return {};
    case kDuration:
      if (role == Qt::DisplayRole) return QString::fromStdString(playingTime(r.seconds));
      return {};
    case kSpace:
      if (role == Qt::DisplayRole || role == Qt::ToolTipRole) return caption(r);
      if (role == kBarShareRole)
        return std::clamp(static_cast<double>(r.bytesToCopy) / largest_, 0.0, 1.0);
      if (role == kOverflowRole) return overflow_;
      return {};
    default:
      return {};
  }
}

QVariant PlaylistTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case kCheck:
      return QString();
    case kName:
      return QStringLiteral("Playlist");
    case kTracks:
      return QStringLiteral("Tracks");
    case kDuration:
      return QStringLiteral("Duration");
    case kSpace:
      return QStringLiteral("Still to copy");
    default:
      return {};
  }
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
