#include "app/activity_log.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/app_state.h"
#include "common/time_text.h"

namespace snapvane {

namespace {

constexpr size_t kHttpLineChars = 255;       // the visit line's 256-character buffer
constexpr size_t kCompletedLineChars = 255;  // completed line, read and written
constexpr char kNoRecordHostName[] = "(Internal Error 03)";

}  // namespace

void ActivityLog::SetMeasure(std::function<int(const std::string&)> measure) {
  std::lock_guard guard(mutex_);
  measure_ = std::move(measure);
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
    topIndex_ = std::max(0, topIndex_ - kDropOnFull);
    index = -1;
  }
  if (index < 0 || index >= static_cast<int>(lines_.size())) {
    lines_.push_back(std::move(line));
    return static_cast<int>(lines_.size()) - 1;
  }
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
  std::function<int(const std::string&)> measure;
  {
    std::lock_guard guard(mutex_);
    measure = measure_;
  }
  // Measured outside the lock: the window's font code never runs under it.
  const int width = measure ? measure(text) : 0;
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

void AddPendingHttpClient(AppState& state, std::unique_ptr<PendingHttpClient> record) {
  if (!record) return;
  std::lock_guard guard(state.lock);
  state.pendingClients.push_back(std::move(record));  // newest last
}

std::unique_ptr<PendingHttpClient> RemovePendingHttpClient(AppState& state, int socket) {
  std::lock_guard guard(state.lock);
  auto& list = state.pendingClients;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (*it && (*it)->socket == socket) {
      std::unique_ptr<PendingHttpClient> record = std::move(*it);
      list.erase(std::next(it).base());
      return record;
    }
  }
  return nullptr;
}

void LogHttpConnection(AppState& state, int socket) {
  const std::tm now = LocalTime(std::time(nullptr));

  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLength);  // zeroed if it fails

  auto record = std::make_unique<PendingHttpClient>();
  record->socket = socket;
  record->peer = peer;

  char address[INET_ADDRSTRLEN] = "0.0.0.0";
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  char line[kHttpLineChars + 1];
  std::snprintf(line, sizeof line, "HTTP %s - %%s - %.24s", address, TimeText(now).c_str());

  // The record is listed before the client thread starts, so that thread finds it.
  AddPendingHttpClient(state, std::move(record));

  if (!state.log) return;
  ActivityLog& log = *state.log;
  bool echo;
  {
    std::lock_guard guard(log.mutex_);
    // Neither widens the extent nor scrolls: that happens when the line is completed.
    log.InsertLocked(-1, ActivityLog::Line{line, socket, true});
    echo = log.echo_;
  }
  if (echo) std::fprintf(stderr, "%s\n", line);
  log.Notify();
}

void CompleteHttpLogLine(AppState& state, int socket, std::unique_ptr<PendingHttpClient> record) {
  // The record is freed on every path when it goes out of scope.
  if (!state.log) return;
  ActivityLog& log = *state.log;

  std::string hostName = kNoRecordHostName;
  if (record) hostName.assign(record->hostName, strnlen(record->hostName, sizeof record->hostName));

  auto findWaiting = [&]() -> int {
    for (int i = static_cast<int>(log.lines_.size()) - 1; i >= 0; --i) {
      const ActivityLog::Line& l = log.lines_[i];
      if (l.waiting && l.itemData == socket) return i;
    }
    return -1;
  };

  std::string format;
  std::function<int(const std::string&)> measure;
  {
    std::lock_guard guard(log.mutex_);
    const int i = findWaiting();
    if (i < 0) return;  // never logged, or among the deleted oldest lines
    format = log.lines_[i].text.substr(0, kCompletedLineChars);
    measure = log.measure_;
  }
  const std::string completed = FormatWithOneText(format, hostName, kCompletedLineChars);
  const int width = measure ? measure(completed) : 0;

  bool echo;
  {
    std::lock_guard guard(log.mutex_);
    // Found again: only this thread adds or completes waiting lines, but other
    // threads' lines may have pushed the oldest ones out meanwhile.
    const int i = findWaiting();
    if (i < 0) return;
    log.lines_[i] = ActivityLog::Line{completed, 0, false};  // delete, then insert at i
    log.logExtent_ = std::max(log.logExtent_, static_cast<int32_t>(width));
    log.topIndex_ = i;
    echo = log.echo_;
  }
  if (echo) std::fprintf(stderr, "%s\n", completed.c_str());
  log.Notify();
}

}  // namespace snapvane
