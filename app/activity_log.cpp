#include "app/activity_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

namespace snapvane {

namespace {

constexpr size_t kCompletedLineChars = 255;  // completed line, read and written

}  // namespace

void ActivityLog::SetMeasure(std::function<int(const std::string&)> measure, int widestChar) {
  std::lock_guard guard(mutex_);
  measure_ = std::move(measure);
  widestChar_ = widestChar;
}

int ActivityLog::WidthIfWider(const std::string& text) {
  std::function<int(const std::string&)> measure;
  {
    std::lock_guard guard(mutex_);
    if (!measure_) return 0;
    // Each byte is at most one character, none wider than the widest.
    if (widestChar_ > 0 &&
        static_cast<int64_t>(text.size()) * widestChar_ <= static_cast<int64_t>(logExtent_))
      return 0;
    measure = measure_;
  }
  // Measured outside the lock: the window's font code never runs under it.
  return measure(text);
}

void ActivityLog::RecordLocked(Change::Kind kind, int index, const std::string& text) {
  if (changes_.reset) return;
  if (changes_.edits.size() >= static_cast<size_t>(kCapacity)) {
    // Nobody has followed for a long time: redrawing all is cheaper than the list.
    changes_.edits.clear();
    changes_.reset = true;
    return;
  }
  changes_.edits.push_back(Change{kind, index, text});
}

ActivityLog::Changes ActivityLog::TakeChanges() {
  std::lock_guard guard(mutex_);
  Changes taken = std::exchange(changes_, {});
  taken.count = static_cast<int>(lines_.size());
  taken.dropped = dropped_;
  return taken;
}

void ActivityLog::SetChangedCallback(std::function<void()> changed) {
  std::lock_guard guard(mutex_);
  changed_ = std::move(changed);
}

void ActivityLog::SetEcho(bool echo) {
  std::lock_guard guard(mutex_);
  echo_ = echo;
}

int ActivityLog::InsertLocked(int index, Line line) {
  if (lines_.size() >= static_cast<size_t>(kCapacity)) {
    // Full: the oldest lines make room and the requested place is given up.
    lines_.erase(lines_.begin(), lines_.begin() + kDropOnFull);
    dropped_ += kDropOnFull;
    topIndex_ = std::max(0, topIndex_ - kDropOnFull);
    RecordLocked(Change::Kind::kDropOldest, kDropOnFull);
    index = -1;
  }
  if (index < 0 || index >= static_cast<int>(lines_.size()))
    index = static_cast<int>(lines_.size());
  RecordLocked(Change::Kind::kInsert, index, line.text);
  lines_.insert(lines_.begin() + index, std::move(line));
  return index;
}

void ActivityLog::Notify() {
  std::function<void()> changed;
  {
    std::lock_guard guard(mutex_);
    changed = changed_;
  }
  if (changed) changed();
}

int ActivityLog::AddLogLine(int index, const std::string& text) {
  const int width = WidthIfWider(text);
  int at;
  bool echo;
  {
    std::lock_guard guard(mutex_);
    at = InsertLocked(index, Line{text, 0, false});
    // Under the same lock as the insert, so concurrent writers keep the maximum.
    logExtent_ = std::max(logExtent_, static_cast<int32_t>(width));
    topIndex_ = at;
    echo = echo_;
  }
  if (echo) std::fprintf(stderr, "%s\n", text.c_str());
  Notify();
  return at;
}

std::vector<ActivityLog::Line> ActivityLog::Lines() const {
  std::lock_guard guard(mutex_);
  return {lines_.begin(), lines_.end()};
}

std::string ActivityLog::TextAt(int index, int64_t dropped) const {
  std::lock_guard guard(mutex_);
  const int64_t now = index - (dropped_ - dropped);
  if (now < 0 || now >= static_cast<int64_t>(lines_.size())) return {};
  return lines_[static_cast<size_t>(now)].text;
}

int ActivityLog::Count() const {
  std::lock_guard guard(mutex_);
  return static_cast<int>(lines_.size());
}

int ActivityLog::TopIndex() const {
  std::lock_guard guard(mutex_);
  return topIndex_;
}

int32_t ActivityLog::LogExtent() const {
  std::lock_guard guard(mutex_);
  return logExtent_;
}

std::string FormatWithOneText(std::string_view format, std::string_view arg, size_t limit) {
  std::string out;
  bool argUsed = false;
  for (size_t i = 0; i < format.size() && out.size() < limit; ++i) {
    const char c = format[i];
    if (c == '%' && i + 1 < format.size()) {
      const char next = format[i + 1];
      if (next == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (next == 's' && !argUsed) {
        out.append(arg.substr(0, limit - out.size()));
        argUsed = true;
        ++i;
        continue;
      }
    }
    out += c;
  }
  if (out.size() > limit) out.resize(limit);
  return out;
}

void ActivityLog::AddVisitLine(int socket, const std::string& text) {
  {
    std::lock_guard guard(mutex_);
    // Neither widens the extent nor scrolls: that happens when the line is completed.
    InsertLocked(-1, Line{text, socket, true});
  }
  // Standard error gets the visit once, completed.
  Notify();
}

void ActivityLog::CompleteVisitLine(int socket, std::string_view hostName) {
  auto findWaiting = [&]() -> int {
    for (int i = static_cast<int>(lines_.size()) - 1; i >= 0; --i) {
      const Line& l = lines_[i];
      if (l.waiting && l.itemData == socket) return i;
    }
    return -1;
  };

  std::string format;
  {
    std::lock_guard guard(mutex_);
    const int i = findWaiting();
    if (i < 0) return;  // never logged, or among the deleted oldest lines
    format = lines_[i].text.substr(0, kCompletedLineChars);
  }
  const std::string completed = FormatWithOneText(format, hostName, kCompletedLineChars);
  const int width = WidthIfWider(completed);

  bool echo;
  {
    std::lock_guard guard(mutex_);
    // Found again: only the UI thread completes waiting lines, but other
    // threads' lines may have pushed the oldest ones out meanwhile.
    const int i = findWaiting();
    if (i < 0) return;
    lines_[i] = Line{completed, 0, false};  // delete, then insert at i
    RecordLocked(Change::Kind::kReplace, i, completed);
    logExtent_ = std::max(logExtent_, static_cast<int32_t>(width));
    topIndex_ = i;
    echo = echo_;
  }
  if (echo) std::fprintf(stderr, "%s\n", completed.c_str());
  Notify();
}

}  // namespace snapvane
