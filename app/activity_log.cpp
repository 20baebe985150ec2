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
  auto shared =
      changed ? std::make_shared<const std::function<void()>>(std::move(changed)) : nullptr;
  std::lock_guard guard(mutex_);
  changed_ = std::move(shared);
}

void ActivityLog::SetEcho(bool echo) {
  std::lock_guard guard(mutex_);
  echo_ = echo;
}

int ActivityLog::InsertLocked(int index, Line line) {
  if (lines_.size() >= static_cast<size_t>(kCapacity)) {
    // Full: the oldest lines make room and the requested place is given up.
    for (int i = 0; i < kDropOnFull; ++i)
      if (const Line& old = lines_[static_cast<size_t>(i)]; old.waiting) {
        if (auto it = waiting_.find(old.itemData); it != waiting_.end()) {
          std::erase(it->second, dropped_ + i);
          if (it->second.empty()) waiting_.erase(it);
        }
      }
    lines_.erase(lines_.begin(), lines_.begin() + kDropOnFull);
    dropped_ += kDropOnFull;
    topIndex_ = std::max(0, topIndex_ - kDropOnFull);
    RecordLocked(Change::Kind::kDropOldest, kDropOnFull);
    index = -1;
  }
  if (index < 0 || index >= static_cast<int>(lines_.size())) {
    index = static_cast<int>(lines_.size());
  } else {
    // Inserted among them: the waiting lines after it move down one.
    for (auto& [socket, places] : waiting_)
      for (int64_t& place : places)
        if (place >= dropped_ + index) ++place;
  }
  RecordLocked(Change::Kind::kInsert, index, line.text);
  if (line.waiting) waiting_[line.itemData].push_back(dropped_ + index);
  lines_.insert(lines_.begin() + index, std::move(line));
  return index;
}

int ActivityLog::FindWaitingLocked(int socket) const {
  auto it = waiting_.find(socket);
  return it == waiting_.end() ? -1 : static_cast<int>(it->second.back() - dropped_);
}

void ActivityLog::Notify() {
  std::shared_ptr<const std::function<void()>> changed;  // no copy of the callable per line
  {
    std::lock_guard guard(mutex_);
    changed = changed_;
  }
  if (changed) (*changed)();
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
  CompleteVisitLines({{socket, std::string(hostName)}});
}

void ActivityLog::CompleteVisitLines(const std::vector<std::pair<int, std::string>>& visits) {
  std::string echoed;
  bool changed = false;
  for (const auto& [socket, hostName] : visits) {
    std::string format;
    {
      std::lock_guard guard(mutex_);
      const int i = FindWaitingLocked(socket);
      if (i < 0) continue;  // never logged, or among the deleted oldest lines
      format = lines_[static_cast<size_t>(i)].text.substr(0, kCompletedLineChars);
    }
    const std::string completed = FormatWithOneText(format, hostName, kCompletedLineChars);
    const int width = WidthIfWider(completed);

    std::lock_guard guard(mutex_);
    // Found again: only the UI thread completes waiting lines, but other
    // threads' lines may have pushed the oldest ones out meanwhile.
    const int i = FindWaitingLocked(socket);
    if (i < 0) continue;
    auto places = waiting_.find(socket);
    places->second.pop_back();
    if (places->second.empty()) waiting_.erase(places);
    lines_[static_cast<size_t>(i)] = Line{completed, 0, false};  // delete, then insert at i
    RecordLocked(Change::Kind::kReplace, i, completed);
    logExtent_ = std::max(logExtent_, static_cast<int32_t>(width));
    topIndex_ = i;
    if (echo_) echoed.append(completed).push_back('\n');
    changed = true;
  }
  if (!echoed.empty()) std::fwrite(echoed.data(), 1, echoed.size(), stderr);
  if (changed) Notify();
}

}  // namespace snapvane
