#include "app/activity_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <tuple>
#include <vector>

namespace snapvane {
namespace {

int Width(const std::string& s) { return static_cast<int>(s.size()); }

TEST(ActivityLog, InsertsScrollsAndKeepsTheWidestExtent) {
  ActivityLog log;
  log.SetMeasure(Width);
  log.AddLogLine(-1, std::string(500, 'w'));  // the widest line, soon deleted
  EXPECT_EQ(log.AddLogLine(-1, "last"), 1);
  EXPECT_EQ(log.AddLogLine(1, "mid"), 1);
  EXPECT_EQ(log.AddLogLine(99, "past the end"), 3);
  for (int i = 4; i < ActivityLog::kCapacity; ++i) log.AddLogLine(-1, "line " + std::to_string(i));
  // Full: the hundred oldest go, and the requested index is given up.
  const int kept = ActivityLog::kCapacity - ActivityLog::kDropOnFull;
  EXPECT_EQ(log.AddLogLine(5, "newest"), kept);
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kept + 1));
  // The extent is never narrowed.
  EXPECT_EQ(std::tuple(lines.front().text + lines.back().text, log.TopIndex(), log.LogExtent()),
            std::tuple("line 100newest", kept, 500));
}

TEST(ActivityLog, ConcurrentWritersKeepEveryLineAndTheExactMaximum) {
  ActivityLog log;
  log.SetMeasure(Width);
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t)
    writers.emplace_back([&log, t] {
      for (int i = 0; i < 2000; ++i) log.AddLogLine(-1, std::string(10 + t + i, 'a' + t));
    });
  for (auto& w : writers) w.join();
  EXPECT_EQ(log.Count(), 8 * 2000);
  EXPECT_EQ(log.LogExtent(), 10 + 7 + 1999);
}

std::vector<std::string> Texts(const ActivityLog& log) {
  std::vector<std::string> texts;
  for (const auto& line : log.Lines()) texts.push_back(line.text);
  return texts;
}

// The list a follower keeps by applying the edits in order.
void Apply(const ActivityLog::Changes& changes, std::vector<std::string>& list,
           const ActivityLog& log) {
  using Kind = ActivityLog::Change::Kind;
  if (changes.reset) {
    list = Texts(log);
    EXPECT_EQ(list.size(), static_cast<size_t>(changes.count));
  }
  for (const ActivityLog::Change& c : changes.edits) {
    if (c.kind == Kind::kInsert) list.insert(list.begin() + c.index, c.text);
    if (c.kind == Kind::kReplace) list.at(static_cast<size_t>(c.index)) = c.text;
    if (c.kind == Kind::kDropOldest) list.erase(list.begin(), list.begin() + c.index);
  }
}

// Appends, inserts, the hundred oldest dropped, visits completed in place: a
// follower that applies the edits (taken now and then, or once after very many)
// shows exactly the log. Lines that cannot be wider than the extent are not measured.
TEST(ActivityLog, FollowersSeeEveryEditAndOnlyPossiblyWiderLinesAreMeasured) {
  ActivityLog log;
  int measured = 0;
  log.SetMeasure([&](const std::string& s) { return ++measured, Width(s); }, 1);
  std::vector<std::string> shown;
  log.AddLogLine(-1, "a fairly long first line");
  log.AddLogLine(0, "inserted");
  for (int i = 0; i < ActivityLog::kCapacity + 150; ++i) {
    log.AddVisitLine(i, "HTTP %s");
    if (i % 3 == 0) log.CompleteVisitLine(i - 1, "x");
    if (i % 5000 == 0) Apply(log.TakeChanges(), shown, log);
  }
  Apply(log.TakeChanges(), shown, log);
  EXPECT_EQ(shown, Texts(log));
  EXPECT_EQ(measured, 1);  // the later lines are all shorter than the first
  log.AddLogLine(-1, std::string(30, 'w'));
  EXPECT_EQ(log.LogExtent(), 30);

  for (int i = 0; i < 2 * ActivityLog::kCapacity; ++i) log.AddLogLine(-1, std::to_string(i));
  const ActivityLog::Changes many = log.TakeChanges();
  EXPECT_TRUE(many.reset);  // nobody followed: the whole list instead of the edits
  Apply(many, shown, log);
  log.AddLogLine(2, "after");
  const ActivityLog::Changes last = log.TakeChanges();
  Apply(last, shown, log);
  EXPECT_EQ(shown, Texts(log));

  // A follower behind the log still reads its own rows: those dropped since
  // read empty, the others keep their text although their index moved.
  const int rows = log.Count();
  while (log.Count() < ActivityLog::kCapacity) log.AddLogLine(-1, "filler");
  log.AddLogLine(-1, "drops the oldest");
  for (int row : {0, ActivityLog::kDropOnFull - 1})
    EXPECT_EQ(log.TextAt(row, last.dropped), "") << row;
  for (int row : {ActivityLog::kDropOnFull, rows - 1})
    EXPECT_EQ(log.TextAt(row, last.dropped), shown[static_cast<size_t>(row)]) << row;
  EXPECT_EQ(log.TextAt(ActivityLog::kCapacity, last.dropped), "drops the oldest");
}

constexpr int kSocket = 1000;
constexpr char kTime[] = "Sun Dec 06 01:50:28 2026";

TEST(VisitLine, PlaceholderCompletedInPlaceNewestFirstNeverAsAFormat) {
  ActivityLog log;
  log.SetMeasure(Width);
  log.AddLogLine(-1, "before");
  const std::string waiting = std::string("HTTP 0.0.0.0 - %s - ") + kTime;
  log.AddVisitLine(kSocket, waiting);
  // Neither scrolled to nor measured yet.
  EXPECT_EQ(std::tuple(log.Lines().at(1).waiting, log.TopIndex(), log.LogExtent()),
            std::tuple(true, 0, 6));
  log.AddLogLine(-1, "after");
  log.CompleteVisitLine(kSocket, "localhost");
  const std::string expected = std::string("HTTP 0.0.0.0 - localhost - ") + kTime;
  // In place, though "after" came since.
  EXPECT_EQ(std::tuple(log.Lines()[1].text, log.TopIndex(), log.LogExtent()),
            std::tuple(expected, 1, static_cast<int32_t>(expected.size())));

  // The socket number reused while an old visit still waits: the newer line completes.
  log.AddVisitLine(kSocket, waiting);
  log.AddLogLine(-1, "between");
  log.AddVisitLine(kSocket, waiting);
  log.CompleteVisitLine(kSocket, "second.example");
  EXPECT_NE(log.Lines()[5].text.find(" - second.example - "), std::string::npos);
  EXPECT_TRUE(log.Lines()[3].waiting);

  // The host name is never taken as a format.
  log.CompleteVisitLine(kSocket, "%s%n%d%%x");
  EXPECT_EQ(log.Lines()[3].text.substr(0, 27), "HTTP 0.0.0.0 - %s%n%d%%x - ");
  // A very long name: the line stops at 255.
  log.AddVisitLine(kSocket, waiting);
  log.CompleteVisitLine(kSocket, std::string(1024, 'h'));
  EXPECT_EQ(log.Lines()[6].text, "HTTP 0.0.0.0 - " + std::string(255 - 15, 'h'));
  EXPECT_EQ(FormatWithOneText("100%% %s %s", "x", 255), "100% x %s");
}

// A waiting line is still found after lines were inserted before it or the
// oldest dropped; one dropped while waiting is never completed elsewhere.
TEST(VisitLine, FoundAfterInsertsAndDropsAndGoneOnceDropped) {
  ActivityLog log;
  log.AddVisitLine(1, "one %s");  // the oldest: dropped below
  log.AddLogLine(-1, "a");
  log.AddVisitLine(2, "two %s");
  log.AddLogLine(0, "inserted");  // before both
  log.CompleteVisitLines({{2, "x"}});
  EXPECT_EQ(log.Lines()[3].text, "two x");
  while (log.Count() < ActivityLog::kCapacity - 1) log.AddLogLine(-1, "filler");
  log.AddVisitLine(3, "three %s");
  log.AddLogLine(-1, "drops the oldest");
  log.CompleteVisitLines({{1, "y"}, {3, "z"}});
  const std::vector<ActivityLog::Line> lines = log.Lines();
  EXPECT_EQ(lines[ActivityLog::kCapacity - 1 - ActivityLog::kDropOnFull].text, "three z");
  EXPECT_FALSE(std::any_of(lines.begin(), lines.end(),
                           [](const ActivityLog::Line& l) { return l.text == "one y"; }));
}

// Standard error gets each visit once, completed; never the placeholder.
TEST(VisitLine, EchoedOnceWhenCompleted) {
  ActivityLog log;
  log.SetEcho(true);
  testing::internal::CaptureStderr();
  log.AddVisitLine(kSocket, "HTTP 1.2.3.4 - %s - now");
  log.CompleteVisitLine(kSocket, "host");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "HTTP 1.2.3.4 - host - now\n");
}

}  // namespace
}  // namespace snapvane
