#pragma once
// The activity log behind list box 1012: lines with item data, a fixed capacity,
// the widest-line extent, the two-stage HTTP visit line.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace snapvane {

// Thread-safe model of the log list. The window follows it through
// TakeChanges() (what to do to its list since the last call) and TopIndex(); it
// is told of changes through the changed callback.
class ActivityLog {
 public:
  static constexpr int kCapacity = 32767;  // lines, as the list box it stands for
  static constexpr int kDropOnFull = 100;  // oldest lines deleted when full

  struct Line {
    std::string text;
    intptr_t itemData = 0;  // the socket of a waiting HTTP line, else 0
    // The line still waits for its host name. Kept apart from itemData because
    // 0 is a valid descriptor: a waiting line on socket 0 must not be confused
    // with the ordinary lines.
    bool waiting = false;
  };

  // One edit of the list, in the order they happened.
  struct Change {
    enum class Kind { kInsert, kReplace, kDropOldest };
    Kind kind;
    int index = 0;  // kInsert, kReplace: the line's index then; kDropOldest: how many
    std::string text;
  };
  struct Changes {
    bool reset = false;   // too many to list: show the `count` lines as they are now
    int count = 0;        // with reset: how many lines the log holds
    int64_t dropped = 0;  // lines dropped since the start, as of these changes
    std::vector<Change> edits;
  };

  ActivityLog() = default;
  // Width of a line in pixels in the list's font (any thread, no log lock held).
  // Default: 0. With widestChar (the font's widest character) a line that
  // cannot be wider than the extent so far is not measured.
  void SetMeasure(std::function<int(const std::string&)> measure, int widestChar = 0);
  // Called after every change, on the changing thread, with no lock held.
  void SetChangedCallback(std::function<void()> changed);
  // Also write every added line to standard error.
  void SetEcho(bool echo);

  // Inserts text at index (-1 or past the end: append); returns the line's index.
  // When the log is full the kDropOnFull oldest lines go first and the line is
  // appended instead. The top index becomes the new line's index.
  int AddLogLine(int index, const std::string& text);

  // An HTTP visit's line, "%s" standing for the host name: appended without
  // widening the extent or scrolling, and waiting for CompleteVisitLine.
  void AddVisitLine(int socket, const std::string& text);
  // Replaces the newest waiting line of socket with its completed text (the host
  // name in place of "%s"); nothing when no such line is left.
  void CompleteVisitLine(int socket, std::string_view hostName);
  // The same for each (socket, host name) in turn, with one change notice and
  // one write to standard error for them all.
  void CompleteVisitLines(const std::vector<std::pair<int, std::string>>& visits);

  std::vector<Line> Lines() const;
  // The text of the line that had index when `dropped` lines had been dropped
  // in all (a follower's view of the log); empty when it has been dropped since.
  std::string TextAt(int index, int64_t dropped) const;
  // The edits since the last call.
  Changes TakeChanges();
  int Count() const;
  int TopIndex() const;
  int32_t LogExtent() const;  // widest line so far; never shrinks

 private:
  // Caller holds mutex_. Makes room when full; returns the index used.
  int InsertLocked(int index, Line line);
  void RecordLocked(Change::Kind kind, int index, const std::string& text = {});
  // The width of text, or 0 when it cannot widen the extent.
  int WidthIfWider(const std::string& text);
  void Notify();
  // Caller holds mutex_: the index of socket's newest waiting line, or -1.
  int FindWaitingLocked(int socket) const;

  mutable std::mutex mutex_;
  std::deque<Line> lines_;
  int topIndex_ = 0;
  int32_t logExtent_ = 0;
  int64_t dropped_ = 0;  // lines dropped since the start
  // Where the waiting lines are, oldest first, by socket: a line's place counted
  // from the start (dropped_ + index), so the lines' lookup costs the same
  // however long the log is.
  std::unordered_map<intptr_t, std::vector<int64_t>> waiting_;
  bool echo_ = false;
  std::function<int(const std::string&)> measure_;
  int widestChar_ = 0;
  Changes changes_;
  std::shared_ptr<const std::function<void()>> changed_;
};

// The text a printf of format with the one text argument arg would give, without
// handing format to printf: the first "%s" takes arg, "%%" gives "%", anything
// else is copied as it stands. At most limit characters.
std::string FormatWithOneText(std::string_view format, std::string_view arg, size_t limit);

}  // namespace snapvane
