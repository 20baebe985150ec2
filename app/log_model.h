#pragma once
// The activity log as a list model: rows stand for the log's lines and their
// text is read from the log when the view draws them, so the window keeps no
// copy of the lines and no item object per line.
#include <QAbstractListModel>
#include <QSize>
#include <cstdint>
#include <memory>

namespace snapvane {

class ActivityLog;

class LogModel : public QAbstractListModel {
 public:
  explicit LogModel(std::shared_ptr<ActivityLog> log, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  // Applies the log's edits since the last call as row insertions, removals and
  // changes (runs of appended lines as one insertion).
  void Follow();
  // The size every row reports (the view uses uniform sizes: the widest line
  // sets the horizontal scroll range).
  void SetRowSize(QSize size);

 private:
  std::shared_ptr<ActivityLog> log_;
  int rows_ = 0;
  int64_t dropped_ = 0;  // the log's dropped lines as of the rows shown
  QSize rowSize_;
};

}  // namespace snapvane
