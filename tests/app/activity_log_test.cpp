#include "app/activity_log.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "app/app_state.h"

namespace snapvane {
namespace {

std::vector<std::string> Texts(const ActivityLog& log) {
  std::vector<std::string> out;
  for (auto& l : log.Lines()) out.push_back(l.text);
  return out;
}

TEST(ActivityLog, InsertsScrollsAndKeepsTheWidestExtent) {
  ActivityLog log;
  log.SetMeasure([](const std::string& s) { return static_cast<int>(s.size()); });
  log.AddLogLine(-1, std::string(500, 'w'));  // the widest line, soon deleted
  EXPECT_EQ(log.AddLogLine(-1, "last"), 1);
  EXPECT_EQ(log.AddLogLine(1, "mid"), 1);
  EXPECT_EQ(log.AddLogLine(99, "past the end"), 3);
  for (int i = 4; i < ActivityLog::kCapacity; ++i) log.AddLogLine(-1, "line " + std::to_string(i));
  // Full: the hundred oldest go, and the requested index is given up.
  const int kept = ActivityLog::kCapacity - ActivityLog::kDropOnFull;
  EXPECT_EQ(log.AddLogLine(5, "newest"), kept);
  auto texts = Texts(log);
  ASSERT_EQ(texts.size(), static_cast<size_t>(kept + 1));
  EXPECT_EQ(texts.front() + texts.back(), "line 100newest");
  EXPECT_EQ(log.TopIndex(), kept);
  EXPECT_EQ(log.LogExtent(), 500);  // never narrowed
}

TEST(ActivityLog, ConcurrentWritersKeepEveryLineAndTheExactMaximum) {
  ActivityLog log;
  log.SetMeasure([](const std::string& s) { return static_cast<int>(s.size()); });
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t)
    writers.emplace_back([&log, t] {
      for (int i = 0; i < 2000; ++i) log.AddLogLine(-1, std::string(10 + t + i, 'a' + t));
    });
  for (auto& w : writers) w.join();
  EXPECT_EQ(log.Count(), 8 * 2000);
  EXPECT_EQ(log.LogExtent(), 10 + 7 + 1999);
}

// An accepted loopback connection, so getpeername has a real peer.
class HttpLogLine : public ::testing::Test {
 protected:
  void SetUp() override {
    state = MakeAppState();
    state->log->SetMeasure([](const std::string& s) { return static_cast<int>(s.size()); });
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    bind(fds[0], reinterpret_cast<sockaddr*>(&addr), len);
    listen(fds[0], 1);
    getsockname(fds[0], reinterpret_cast<sockaddr*>(&addr), &len);
    connect(fds[1], reinterpret_cast<sockaddr*>(&addr), len);
    fd = fds[2] = accept(fds[0], nullptr, nullptr);
    ASSERT_GE(fd, 0);
  }
  void TearDown() override {
    for (int f : fds) close(f);
  }
  void Complete(const char* host) {
    auto record = RemovePendingHttpClient(*state, fd);
    ASSERT_TRUE(record);
    std::strcpy(record->hostName, host);
    CompleteHttpLogLine(*state, fd, std::move(record));
  }
  std::shared_ptr<AppState> state;
  int fds[3] = {socket(AF_INET, SOCK_STREAM, 0), socket(AF_INET, SOCK_STREAM, 0), -1};
  int fd = -1;
};

TEST_F(HttpLogLine, PlaceholderThenHostNameAtTheSameIndex) {
  ActivityLog& log = *state->log;
  log.AddLogLine(-1, "before");
  LogHttpConnection(*state, fd);
  auto lines = log.Lines();
  const std::string waiting = lines.at(1).text;
  EXPECT_EQ(waiting.substr(0, 22), "HTTP 127.0.0.1 - %s - ");
  EXPECT_EQ(waiting.size(), 22u + 24u);  // then the time text
  EXPECT_EQ(lines[1].itemData, fd);
  // Neither scrolled to nor measured yet.
  EXPECT_EQ(log.TopIndex(), 0);
  EXPECT_EQ(log.LogExtent(), 6);
  log.AddLogLine(-1, "after");
  Complete("localhost");
  EXPECT_FALSE(RemovePendingHttpClient(*state, fd));
  const std::string expected = "HTTP 127.0.0.1 - localhost - " + waiting.substr(22);
  EXPECT_EQ(Texts(log), (std::vector<std::string>{"before", expected, "after"}));
  EXPECT_EQ(log.Lines()[1].itemData, 0);
  EXPECT_EQ(log.TopIndex(), 1);
  EXPECT_EQ(log.LogExtent(), static_cast<int32_t>(expected.size()));
}

TEST_F(HttpLogLine, NewerOfTwoWaitingLinesWithTheSameSocketAndNoFormatInjection) {
  LogHttpConnection(*state, fd);  // an old visit never completed
  state->log->AddLogLine(-1, "between");
  LogHttpConnection(*state, fd);  // the socket number reused
  Complete("second.example");
  EXPECT_NE(state->log->Lines()[2].text.find(" - second.example - "), std::string::npos);
  // Without a record the line still completes, with the internal error text.
  CompleteHttpLogLine(*state, fd, nullptr);
  auto lines = state->log->Lines();
  EXPECT_NE(lines[0].text.find(" - (Internal Error 03) - "), std::string::npos);
  EXPECT_EQ(lines[0].itemData, 0);
  EXPECT_TRUE(RemovePendingHttpClient(*state, fd));  // the old record is still listed

  // The host name is never taken as a format.
  LogHttpConnection(*state, fd);
  Complete("%s%n%d%%x");
  EXPECT_EQ(state->log->Lines()[3].text.substr(0, 29), "HTTP 127.0.0.1 - %s%n%d%%x - ");
  // A name filling its whole buffer, unterminated: the line stops at 255.
  LogHttpConnection(*state, fd);
  auto record = RemovePendingHttpClient(*state, fd);
  std::memset(record->hostName, 'h', sizeof record->hostName);
  CompleteHttpLogLine(*state, fd, std::move(record));
  EXPECT_EQ(state->log->Lines()[4].text, "HTTP 127.0.0.1 - " + std::string(255 - 17, 'h'));
  EXPECT_EQ(FormatWithOneText("100%% %s %s", "x", 255), "100% x %s");
}

}  // namespace
}  // namespace snapvane
