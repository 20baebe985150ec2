#include "app/activity_log.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <thread>
#include <vector>

#include "app/app_state.h"

namespace snapvane {
namespace {

// One accepted loopback connection, so getpeername has a real peer.
class LoopbackConnection {
 public:
  LoopbackConnection() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    connect(client_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    accepted_ = accept(listener_, nullptr, nullptr);
  }
  ~LoopbackConnection() {
    for (int fd : {accepted_, client_, listener_})
      if (fd >= 0) close(fd);
  }
  int accepted() const { return accepted_; }

 private:
  int listener_ = -1, client_ = -1, accepted_ = -1;
};

const std::regex kTimeText(R"([A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4})");

std::vector<std::string> Texts(const ActivityLog& log) {
  std::vector<std::string> out;
  for (auto& l : log.Lines()) out.push_back(l.text);
  return out;
}

TEST(ActivityLog, InsertsScrollsAndKeepsTheWidestExtent) {
  ActivityLog log;
  log.SetMeasure([](const std::string& s) { return static_cast<int>(s.size()) * 7; });
  EXPECT_EQ(log.AddLogLine(-1, "first"), 0);
  EXPECT_EQ(log.AddLogLine(-1, "a much longer line"), 1);
  EXPECT_EQ(log.AddLogLine(1, "mid"), 1);
  EXPECT_EQ(log.TopIndex(), 1);
  EXPECT_EQ(log.AddLogLine(99, "past the end"), 3);
  EXPECT_EQ(log.TopIndex(), 3);
  EXPECT_EQ(Texts(log),
            (std::vector<std::string>{"first", "mid", "a much longer line", "past the end"}));
  EXPECT_EQ(log.LogExtent(), 18 * 7);
  log.AddLogLine(-1, "short");
  EXPECT_EQ(log.LogExtent(), 18 * 7);
}

TEST(ActivityLog, FullLogDropsTheHundredOldestAndAppends) {
  ActivityLog log;
  log.SetMeasure([](const std::string& s) { return static_cast<int>(s.size()); });
  log.AddLogLine(-1, std::string(500, 'w'));  // the widest line, soon deleted
  for (int i = 1; i < ActivityLog::kCapacity; ++i) log.AddLogLine(-1, "line " + std::to_string(i));
  ASSERT_EQ(log.Count(), ActivityLog::kCapacity);

  // The requested index is given up: the new line goes to the end.
  EXPECT_EQ(log.AddLogLine(5, "newest"), ActivityLog::kCapacity - ActivityLog::kDropOnFull);
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(),
            static_cast<size_t>(ActivityLog::kCapacity - ActivityLog::kDropOnFull + 1));
  EXPECT_EQ(lines.front().text, "line 100");
  EXPECT_EQ(lines.back().text, "newest");
  EXPECT_EQ(log.TopIndex(), static_cast<int>(lines.size()) - 1);
  EXPECT_EQ(log.LogExtent(), 500);  // never narrowed by the deletion
}

TEST(ActivityLog, ConcurrentWritersKeepEveryLineAndTheExactMaximum) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 2000;
  ActivityLog log;
  log.SetMeasure([](const std::string& s) { return static_cast<int>(s.size()); });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log, t] {
      // Widths rise in every thread; thread t's widest is 10 + t + kLinesEach - 1.
      for (int i = 0; i < kLinesEach; ++i) log.AddLogLine(-1, std::string(10 + t + i, 'a' + t));
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(log.Count(), kThreads * kLinesEach);
  EXPECT_EQ(log.LogExtent(), 10 + (kThreads - 1) + kLinesEach - 1);
}

class HttpLogLine : public ::testing::Test {
 protected:
  void SetUp() override {
    state = MakeAppState();
    state->log->SetMeasure([](const std::string& s) { return static_cast<int>(s.size()); });
  }
  std::shared_ptr<AppState> state;
  LoopbackConnection conn;
};

TEST_F(HttpLogLine, PlaceholderThenHostNameAtTheSameIndex) {
  ActivityLog& log = *state->log;
  const int fd = conn.accepted();
  ASSERT_GE(fd, 0);
  log.AddLogLine(-1, "before");
  const int32_t extentBefore = log.LogExtent();

  LogHttpConnection(*state, fd);
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  const std::string waiting = lines[1].text;
  EXPECT_EQ(waiting.substr(0, 22), "HTTP 127.0.0.1 - %s - ");
  EXPECT_TRUE(std::regex_match(waiting.substr(22), kTimeText)) << waiting;
  EXPECT_EQ(lines[1].itemData, fd);
  EXPECT_TRUE(lines[1].waiting);
  // Neither scrolled to nor measured yet.
  EXPECT_EQ(log.TopIndex(), 0);
  EXPECT_EQ(log.LogExtent(), extentBefore);
  {
    std::lock_guard guard(state->lock);
    ASSERT_EQ(state->pendingClients.size(), 1u);
    EXPECT_EQ(state->pendingClients[0]->socket, fd);
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &state->pendingClients[0]->peer.sin_addr, addr, sizeof addr);
    EXPECT_STREQ(addr, "127.0.0.1");
  }
  log.AddLogLine(-1, "after");

  auto record = RemovePendingHttpClient(*state, fd);
  ASSERT_TRUE(record);
  EXPECT_FALSE(RemovePendingHttpClient(*state, fd));
  std::strcpy(record->hostName, "localhost");
  CompleteHttpLogLine(*state, fd, std::move(record));

  lines = log.Lines();
  ASSERT_EQ(lines.size(), 3u);
  const std::string expected = "HTTP 127.0.0.1 - localhost - " + waiting.substr(22);
  EXPECT_EQ(lines[1].text, expected);
  EXPECT_EQ(lines[1].itemData, 0);
  EXPECT_FALSE(lines[1].waiting);
  EXPECT_EQ(lines[2].text, "after");
  EXPECT_EQ(log.TopIndex(), 1);
  EXPECT_EQ(log.LogExtent(), static_cast<int32_t>(expected.size()));

  // Completed once: a second completion for the socket finds nothing.
  CompleteHttpLogLine(*state, fd, nullptr);
  EXPECT_EQ(log.Lines()[1].text, expected);
}

TEST_F(HttpLogLine, NewerOfTwoWaitingLinesWithTheSameSocket) {
  const int fd = conn.accepted();
  LogHttpConnection(*state, fd);  // an old visit never completed
  state->log->AddLogLine(-1, "between");
  LogHttpConnection(*state, fd);  // the socket number reused
  PendingHttpClient* newest;
  {
    std::lock_guard guard(state->lock);
    ASSERT_EQ(state->pendingClients.size(), 2u);
    newest = state->pendingClients.back().get();
  }
  auto record = RemovePendingHttpClient(*state, fd);
  EXPECT_EQ(record.get(), newest);
  std::strcpy(record->hostName, "second.example");
  CompleteHttpLogLine(*state, fd, std::move(record));

  auto lines = state->log->Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].text.find(" - %s - "), std::string::npos);
  EXPECT_TRUE(lines[0].waiting);
  EXPECT_NE(lines[2].text.find(" - second.example - "), std::string::npos);
  EXPECT_EQ(lines[2].itemData, 0);

  // Without a record the line still completes, with the internal error text.
  CompleteHttpLogLine(*state, fd, nullptr);
  lines = state->log->Lines();
  EXPECT_NE(lines[0].text.find(" - (Internal Error 03) - "), std::string::npos);
  EXPECT_EQ(lines[0].itemData, 0);
  EXPECT_TRUE(RemovePendingHttpClient(*state, fd));  // the old record is still listed
}

TEST_F(HttpLogLine, HostNameIsNeverTakenAsAFormat) {
  const int fd = conn.accepted();
  LogHttpConnection(*state, fd);
  auto record = RemovePendingHttpClient(*state, fd);
  std::strcpy(record->hostName, "%s%n%d%%x");
  CompleteHttpLogLine(*state, fd, std::move(record));
  EXPECT_EQ(state->log->Lines()[0].text.substr(0, 29), "HTTP 127.0.0.1 - %s%n%d%%x - ");

  // A name filling its whole buffer, unterminated: the line stops at 255.
  LogHttpConnection(*state, fd);
  record = RemovePendingHttpClient(*state, fd);
  std::memset(record->hostName, 'h', sizeof record->hostName);
  CompleteHttpLogLine(*state, fd, std::move(record));
  const std::string line = state->log->Lines()[1].text;
  EXPECT_EQ(line.size(), 255u);
  EXPECT_EQ(line.substr(0, 17) + std::string(255 - 17, 'h'), line);
}

TEST(FormatWithOneText, ActsLikePrintfWithOneTextArgument) {
  EXPECT_EQ(FormatWithOneText("a %s b", "x", 255), "a x b");
  EXPECT_EQ(FormatWithOneText("100%% %s %s", "x", 255), "100% x %s");
  EXPECT_EQ(FormatWithOneText("%d %", "x", 255), "%d %");
  EXPECT_EQ(FormatWithOneText("abc %s", "defgh", 6), "abc de");
  EXPECT_EQ(FormatWithOneText("", "x", 255), "");
}

TEST_F(HttpLogLine, WaitingLineOnSocketZeroIsNotAnOrdinaryLine) {
  // Descriptor 0 is valid; ordinary lines also carry item data 0.
  LogHttpConnection(*state, 0);
  state->log->AddLogLine(-1, "ordinary");
  auto record = RemovePendingHttpClient(*state, 0);
  ASSERT_TRUE(record);
  std::strcpy(record->hostName, "zero");
  CompleteHttpLogLine(*state, 0, std::move(record));
  auto lines = state->log->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].text.find(" - zero - "), std::string::npos) << lines[0].text;
  EXPECT_EQ(lines[1].text, "ordinary");
}

TEST_F(HttpLogLine, FullLogMakesRoomForTheVisitLine) {
  ActivityLog& log = *state->log;
  for (int i = 0; i < ActivityLog::kCapacity; ++i) log.AddLogLine(-1, "line " + std::to_string(i));
  const int fd = conn.accepted();
  LogHttpConnection(*state, fd);
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(),
            static_cast<size_t>(ActivityLog::kCapacity - ActivityLog::kDropOnFull + 1));
  EXPECT_EQ(lines.front().text, "line 100");
  EXPECT_TRUE(lines.back().waiting);
  EXPECT_EQ(lines.back().itemData, fd);

  // A waiting line pushed out by later lines: the completion changes nothing.
  LogHttpConnection(*state, fd);
  for (int i = 0; i < ActivityLog::kCapacity; ++i) log.AddLogLine(-1, "more");
  auto record = RemovePendingHttpClient(*state, fd);
  auto before = Texts(log);
  CompleteHttpLogLine(*state, fd, std::move(record));
  EXPECT_EQ(Texts(log), before);
}

}  // namespace
}  // namespace snapvane
