#include "publish/http_server.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "app/message_box.h"
#include "app/transfer_progress.h"
#include "tests/publish/http_test_harness.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;
using test::Exchange;
using test::HttpHarness;
using test::HttpHarnessOptions;
using test::IsJpeg;
using test::StartsWith;
using test::WaitFor;

const std::string kPictureHeader = kHttpPictureHeader;
const std::string kNotFound = kHttpNotFound;

std::string RegexEscape(const std::string& text) {
  return std::regex_replace(text, std::regex(R"([()!.\[\]*+?^$|{}\\])"), R"(\$&)");
}

bool AnyLineMatches(const std::vector<std::string>& lines, const std::string& pattern) {
  std::regex re(pattern);
  for (auto& line : lines)
    if (std::regex_match(line, re)) return true;
  return false;
}

TEST(HttpServerTest, PictureForBothMinorVersionsAndWithHeaderLines) {
  HttpHarness server;
  ASSERT_EQ(server.listenResult, 0);
  ASSERT_NE(server.port, 0);  // port 0 asked the system; the chosen one is the setting
  for (const std::string request :
       {"GET / HTTP/1.0\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\nAccept: */*\r\n\r\n"}) {
    SCOPED_TRACE(request);
    std::string response = Exchange(server.port, request);
    ASSERT_TRUE(StartsWith(response, kPictureHeader)) << response.substr(0, 80);
    EXPECT_TRUE(IsJpeg(response.substr(kPictureHeader.size())));
  }
}

TEST(HttpServerTest, RefreshHeaderOnlyWhenClientPullIsSet) {
  HttpHarness server({.refresh = 5});
  std::string response = Exchange(server.port, "GET / HTTP/1.0\r\n\r\n");
  const std::string header =
      "HTTP/1.0 200 Ok\r\nServer: Snapvane 0.1\r\nContent-Type: image/jpeg\r\nRefresh: 5\r\n\r\n";
  ASSERT_TRUE(StartsWith(response, header)) << response.substr(0, 100);
  EXPECT_TRUE(IsJpeg(response.substr(header.size())));
}

TEST(HttpServerTest, EveryOtherRequestGetsTheFixed404TextAndNothingElse) {
  HttpHarness server;
  for (const std::string request :
       {"GET / HTTP/1.0\n\n", "get / HTTP/1.0\r\n\r\n", "HEAD / HTTP/1.0\r\n\r\n",
        "GET /index.html HTTP/1.0\r\n\r\n", "GET / HTTP/2.0\r\n\r\n", "GET / HTTP/1.0\r"}) {
    SCOPED_TRACE(request);
    EXPECT_EQ(Exchange(server.port, request), kNotFound);
  }
  // A client that ends its side before sending anything: an empty request.
  int fd = test::ConnectLoopback(server.port);
  shutdown(fd, SHUT_WR);
  EXPECT_EQ(test::ReadToEnd(fd), kNotFound);
  close(fd);
  // Refused requests gave their uses back: nothing is left to delete later.
  ASSERT_TRUE(server.NoWorkersLeft());
  EXPECT_EQ(server.SnapshotFilesLeft(), 0u);
  EXPECT_EQ(server.SnapshotUsers(), 0);
}

TEST(HttpServerTest, LongRequestInOnePieceIsMatchedDrainedAndAnswered) {
  HttpHarness server;
  std::string request = "GET / HTTP/1.0\r\nX-Padding: ";
  request += std::string(600 - request.size() - 4, 'a');
  request += "\r\n\r\n";
  ASSERT_EQ(request.size(), 600u);
  std::string response = Exchange(server.port, request);
  ASSERT_TRUE(StartsWith(response, kPictureHeader));
  EXPECT_TRUE(IsJpeg(response.substr(kPictureHeader.size())));
}

TEST(HttpServerTest, ClientThatClosesAtOnceIsLoggedAndReleased) {
  HttpHarness server;
  int fd = test::ConnectLoopback(server.port);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_TRUE(WaitFor([&] {
    return AnyLineMatches(server.LogLines(), "HTTP 127\\.0\\.0\\.1 - localhost - .{24}");
  }));
  ASSERT_TRUE(server.NoWorkersLeft());
  EXPECT_EQ(server.SnapshotFilesLeft(), 0u);
  // The server goes on serving.
  EXPECT_TRUE(StartsWith(Exchange(server.port, "GET / HTTP/1.0\r\n\r\n"), kPictureHeader));
}

TEST(HttpServerTest, ClientThatNeverSendsIsReleasedAfterTheRequestBound) {
  HttpHarness server({.requestTimeout = 300ms});
  int fd = test::ConnectLoopback(server.port);
  ASSERT_GE(fd, 0);
  // The server gives up without answering and closes the connection.
  EXPECT_EQ(test::ReadToEnd(fd), "");
  close(fd);
  ASSERT_TRUE(server.NoWorkersLeft());
  EXPECT_EQ(server.SnapshotUsers(), 0);
  EXPECT_EQ(server.SnapshotFilesLeft(), 0u);
  EXPECT_EQ(server.state->httpServer->connections.load(), 0);
}

TEST(HttpServerTest, FailedCaptureAnswersServiceUnavailableNotAnEmptyPicture) {
  HttpHarness server;
  std::vector<std::string> boxes;
  MessageBoxHandler old;
  server.OnUi([&] {
    server.device.SetStepFails(TestPatternDevice::Step::kFrame, true);
    old = SetMessageBoxHandler([&](const MessageBoxRequest& r) { boxes.push_back(r.text); });
  });
  std::string response = Exchange(server.port, "GET / HTTP/1.0\r\n\r\n");
  server.OnUi([&] { SetMessageBoxHandler(old); });
  EXPECT_EQ(boxes, (std::vector<std::string>{"capCaptureSingleFrame"}));
  EXPECT_EQ(response, kHttpUnavailable);
  ASSERT_TRUE(server.NoWorkersLeft());
  EXPECT_EQ(server.SnapshotFilesLeft(), 0u);
}

int FailNoName(const sockaddr_in&, char*, size_t) { return EAI_NONAME; }
int FailTryAgain(const sockaddr_in&, char*, size_t) { return EAI_AGAIN; }

TEST(HttpServerTest, VisitLineShowsAddressAtOnceAndHostNameLater) {
  HttpHarness server;
  int fd = test::ConnectLoopback(server.port);
  ASSERT_GE(fd, 0);
  // Before any request: the address with the host name still to come.
  ASSERT_TRUE(WaitFor(
      [&] { return AnyLineMatches(server.LogLines(), "HTTP 127\\.0\\.0\\.1 - %s - .{24}"); }));
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  EXPECT_TRUE(StartsWith(test::ReadToEnd(fd), kPictureHeader));
  close(fd);
  ASSERT_TRUE(WaitFor([&] {
    return AnyLineMatches(server.LogLines(), "HTTP 127\\.0\\.0\\.1 - localhost - .{24}");
  }));
  EXPECT_FALSE(AnyLineMatches(server.LogLines(), ".*%s.*"));
  // The transfer's entry went when it ended.
  EXPECT_EQ(server.state->transfers->Count(), 0u);
}

TEST(HttpServerTest, FailedLookupsShowTheTextsOfTheTable) {
  for (auto [lookup, text] : {std::pair{&FailNoName, "(DNS Not Found)"},
                              std::pair{&FailTryAgain, "(DNS Server Error)"}}) {
    HttpHarness server({.reverseLookup = lookup});
    Exchange(server.port, "GET / HTTP/1.0\r\n\r\n");
    const std::string expected = RegexEscape(std::string("HTTP 127.0.0.1 - ") + text + " - ");
    EXPECT_TRUE(WaitFor([&] { return AnyLineMatches(server.LogLines(), expected + ".{24}"); }))
        << text;
  }
}

TEST(HttpServerTest, HostNameErrorTexts) {
  EXPECT_EQ(HostNameErrorText(EAI_NONAME, 0), "(DNS Not Found)");
  EXPECT_EQ(HostNameErrorText(EAI_AGAIN, 0), "(DNS Server Error)");
  EXPECT_EQ(HostNameErrorText(EAI_FAIL, 0), "(DNS Error)");
  EXPECT_EQ(HostNameErrorText(EAI_NODATA, 0), "(Name Not Found)");
  EXPECT_EQ(HostNameErrorText(EAI_SYSTEM, ENETDOWN), "(Net Down)");
  EXPECT_EQ(HostNameErrorText(EAI_SYSTEM, EINTR), "(DNS Cancelled)");
  const std::string other = HostNameErrorText(EAI_SYSTEM, EIO);
  EXPECT_TRUE(other.front() == '(' && other.back() == ')') << other;
}

TEST(HttpServerTest, BusyPortFailsLoudlyButKeepsTheSwitchOn) {
  HttpHarness first;
  HttpHarness second;
  int result = -1;
  second.OnUi([&] {
    DisableHttp(*second.state);
    second.state->httpPort = first.port;
    result = EnableHttp(*second.state);
  });
  EXPECT_EQ(result, EADDRINUSE);
  EXPECT_EQ(second.state->http, 1);
  EXPECT_EQ(second.state->listenSocket, kNoSocket);
  EXPECT_EQ(second.window.watchedFd, -1);
  const std::string expected = "!!!HTTP server could not listen on port " +
                               std::to_string(first.port) + "!!! (" + std::strerror(EADDRINUSE) +
                               ") - ";
  EXPECT_TRUE(AnyLineMatches(second.LogLines(), RegexEscape(expected) + ".{24}"));
}

TEST(HttpServerTest, DisableStopsListeningButRunningVisitsFinish) {
  HttpHarness server({.requestTimeout = 20s});
  int fd = test::ConnectLoopback(server.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(WaitFor([&] { return server.state->httpServer->connections.load() == 1; }));
  server.OnUi([&] { DisableHttp(*server.state); });
  EXPECT_EQ(server.state->http, 0);
  EXPECT_EQ(test::ConnectLoopback(server.port), -1);  // nothing listens any more
  const std::string request = "GET / HTTP/1.0\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  EXPECT_TRUE(StartsWith(test::ReadToEnd(fd), kPictureHeader));
  close(fd);
  EXPECT_TRUE(WaitFor([&] {
    return AnyLineMatches(server.LogLines(), "HTTP 127\\.0\\.0\\.1 - localhost - .{24}");
  }));
}

TEST(HttpServerTest, ConnectionsBeyondTheBoundAreClosedAtOnceWithoutAUse) {
  HttpHarness server({.requestTimeout = 30s, .maxConnections = 4});
  std::vector<int> idle;
  for (int i = 0; i < 4; ++i) idle.push_back(test::ConnectLoopback(server.port));
  ASSERT_TRUE(WaitFor([&] { return server.state->httpServer->connections.load() == 4; }));
  const int usersWhileFull = server.SnapshotUsers();

  // The fifth is closed without an answer, a log line or a counted use.
  EXPECT_EQ(Exchange(server.port, "GET / HTTP/1.0\r\n\r\n"), "");
  EXPECT_EQ(server.state->httpServer->refused.load(), 1);
  EXPECT_EQ(server.SnapshotUsers(), usersWhileFull);
  EXPECT_EQ(server.LogLines().size(), 4u);

  // Places come back as connections end; then the server serves again.
  for (int fd : idle) close(fd);
  ASSERT_TRUE(WaitFor([&] { return server.state->httpServer->connections.load() == 0; }));
  EXPECT_TRUE(StartsWith(Exchange(server.port, "GET / HTTP/1.0\r\n\r\n"), kPictureHeader));
}

TEST(HttpServerTest, ManyClientsAtOnceLoseNoResponseAndLeaveNoFile) {
  HttpHarness server;
  constexpr int kClients = 200;
  constexpr int kRounds = 4;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::future<std::string>> clients;
    for (int i = 0; i < kClients; ++i)
      clients.push_back(std::async(
          std::launch::async, [&] { return Exchange(server.port, "GET / HTTP/1.0\r\n\r\n"); }));
    int pictures = 0;
    for (auto& client : clients) {
      std::string response = client.get();
      if (StartsWith(response, kPictureHeader) && IsJpeg(response.substr(kPictureHeader.size())))
        ++pictures;
    }
    EXPECT_EQ(pictures, kClients) << "round " << round;
  }
  ASSERT_TRUE(server.NoWorkersLeft());
  EXPECT_EQ(server.SnapshotFilesLeft(), 0u);
  EXPECT_EQ(server.SnapshotUsers(), 0);
}

TEST(HttpSettingsFormTest, ShowsAndAppliesThePortAndRefreshRules) {
  auto state = MakeAppState();
  state->httpPort = 40000;
  state->httpRefresh = 0;
  HttpSettingsForm form = HttpSettingsFormOf(*state);
  EXPECT_EQ(form.port, "40000");
  EXPECT_EQ(form.interval, "0");
  EXPECT_FALSE(form.refresh);

  ApplyHttpSettingsForm(*state, {"70000", true, "7"});
  EXPECT_EQ(state->httpPort, 4464);  // the low 16 bits
  EXPECT_EQ(state->httpRefresh, 7);
  EXPECT_TRUE(HttpSettingsFormOf(*state).refresh);

  ApplyHttpSettingsForm(*state, {"8080", false, "7"});  // interval only when ticked
  EXPECT_EQ(state->httpPort, 8080);
  EXPECT_EQ(state->httpRefresh, 0);

  ApplyHttpSettingsForm(*state, {"port", true, " 12s"});
  EXPECT_EQ(state->httpPort, 0);
  EXPECT_EQ(state->httpRefresh, 12);

  ApplyHttpSettingsForm(*state, {"99999999999", true, "4000000000"});
  EXPECT_EQ(state->httpPort, 0);             // beyond 32 bits: not a number
  EXPECT_EQ(state->httpRefresh, INT32_MAX);  // never a negative Refresh header
}

}  // namespace
}  // namespace snapvane
