#include "app/activity_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "app/app_state.h"

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
  EXPECT_EQ(lines.front().text + lines.back().text, "line 100newest");
  EXPECT_EQ(log.TopIndex(), kept);
  EXPECT_EQ(log.LogExtent(), 500);  // never narrowed
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

// Not a socket: getpeername fails and the address reads 0.0.0.0.
constexpr int kSocket = 1000;

void Complete(AppState& state, const char* host) {
  auto record = RemovePendingHttpClient(state, kSocket);
  ASSERT_TRUE(record);
  std::strcpy(record->hostName, host);
  CompleteHttpLogLine(state, kSocket, std::move(record));
}

TEST(HttpLogLine, PlaceholderCompletedInPlaceNewestFirstNeverAsAFormat) {
  auto state = MakeAppState();
  ActivityLog& log = *state->log;
  log.SetMeasure(Width);
  log.AddLogLine(-1, "before");
  LogHttpConnection(*state, kSocket);
  const std::string waiting = log.Lines().at(1).text;
  EXPECT_EQ(waiting.substr(0, 20), "HTTP 0.0.0.0 - %s - ");
  EXPECT_EQ(waiting.size(), 20u + 24u);  // then the time text
  EXPECT_EQ(log.TopIndex(), 0);          // neither scrolled to nor measured yet
  EXPECT_EQ(log.LogExtent(), 6);
  log.AddLogLine(-1, "after");
  Complete(*state, "localhost");
  const std::string expected = "HTTP 0.0.0.0 - localhost - " + waiting.substr(20);
  EXPECT_EQ(log.Lines()[1].text, expected);  // in place, though "after" came since
  EXPECT_EQ(log.TopIndex(), 1);
  EXPECT_EQ(log.LogExtent(), static_cast<int32_t>(expected.size()));

  // The socket number reused while an old visit still waits: the newer line completes.
  LogHttpConnection(*state, kSocket);
  log.AddLogLine(-1, "between");
  LogHttpConnection(*state, kSocket);
  Complete(*state, "second.example");
  EXPECT_NE(log.Lines()[5].text.find(" - second.example - "), std::string::npos);
  // Without a record the line still completes, with the internal error text.
  CompleteHttpLogLine(*state, kSocket, nullptr);
  EXPECT_NE(log.Lines()[3].text.find(" - (Internal Error 03) - "), std::string::npos);
  EXPECT_TRUE(RemovePendingHttpClient(*state, kSocket));  // the old record is still listed

  // The host name is never taken as a format.
  LogHttpConnection(*state, kSocket);
  Complete(*state, "%s%n%d%%x");
  EXPECT_EQ(log.Lines()[6].text.substr(0, 27), "HTTP 0.0.0.0 - %s%n%d%%x - ");
  // A name filling its whole buffer, unterminated: the line stops at 255.
  LogHttpConnection(*state, kSocket);
  auto record = RemovePendingHttpClient(*state, kSocket);
  std::memset(record->hostName, 'h', sizeof record->hostName);
  CompleteHttpLogLine(*state, kSocket, std::move(record));
  EXPECT_EQ(log.Lines()[7].text, "HTTP 0.0.0.0 - " + std::string(255 - 15, 'h'));
  EXPECT_EQ(FormatWithOneText("100%% %s %s", "x", 255), "100% x %s");
}

}  // namespace
}  // namespace snapvane
