#include "app/log_model.h"

#include <algorithm>
#include <utility>

#include "app/activity_log.h"
#include "common/locale_text.h"

namespace snapvane {

LogModel::LogModel(std::shared_ptr<ActivityLog> log, QObject* parent)
    : QAbstractListModel(parent), log_(std::move(log)) {}

int LogModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

QVariant LogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rows_) return {};
  if (role == Qt::SizeHintRole && rowSize_.isValid()) return rowSize_;
  if (role != Qt::DisplayRole) return {};
  // 8-bit text is in the locale's character set, not necessarily UTF-8.
  return QString::fromStdString(LocaleToUtf8(log_->TextAt(index.row(), dropped_)));
}

void LogModel::Follow() {
  ActivityLog::Changes changes = log_->TakeChanges();
  if (changes.reset) {
    beginResetModel();
    rows_ = changes.count;
    dropped_ = changes.dropped;
    endResetModel();
    return;
  }
  int appended = 0;  // a run of lines added at the end, not yet announced
  auto flush = [&] {
    if (appended == 0) return;
    beginInsertRows(QModelIndex(), rows_, rows_ + appended - 1);
    rows_ += appended;
    endInsertRows();
    appended = 0;
  };
  for (const ActivityLog::Change& change : changes.edits) {
    using Kind = ActivityLog::Change::Kind;
    if (change.kind == Kind::kInsert && change.index == rows_ + appended) {
      ++appended;
      continue;
    }
    flush();
    switch (change.kind) {
      case Kind::kInsert: {
        const int row = std::clamp(change.index, 0, rows_);
        beginInsertRows(QModelIndex(), row, row);
        ++rows_;
        endInsertRows();
        break;
      }
      case Kind::kReplace:
        if (change.index >= 0 && change.index < rows_)
          emit dataChanged(index(change.index), index(change.index), {Qt::DisplayRole});
        break;
      case Kind::kDropOldest:
        if (const int n = std::min(change.index, rows_); n > 0) {
          beginRemoveRows(QModelIndex(), 0, n - 1);
          rows_ -= n;
          endRemoveRows();
        }
        break;
    }
  }
  flush();
  // Every edit up to these changes is applied: the rows now stand for the log's
  // lines as they were then. Nothing was drawn in between.
  dropped_ = changes.dropped;
}

void LogModel::SetRowSize(QSize size) {
  if (size == rowSize_) return;
  rowSize_ = size;
  if (rows_ > 0) emit dataChanged(index(0), index(0), {Qt::SizeHintRole});
}

}  // namespace snapvane
