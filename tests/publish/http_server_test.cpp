#include "publish/http_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <openssl/evp.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <future>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/transfer_progress.h"
#include "tests/publish/http_test_harness.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;
using namespace test;

const std::string kGet = "GET / HTTP/1.0\r\n\r\n";

// A client that sends its request and then takes its time reading; a small
// receiveBuffer keeps the answer from fitting at once.
int SendRequest(uint16_t port, const std::string& request = kGet, int receiveBuffer = 0) {
  int fd = ConnectLoopback(port);
  if (receiveBuffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return fd;
}

// Log lines of `visit` followed by the 24-character time stamp.
int Logged(const HttpHarness& server, const std::string& visit) {
  int n = 0;
  for (auto& line : server.LogLines())
    n += line.rfind(visit + " - ", 0) == 0 && line.size() == visit.size() + 3 + 24;
  return n;
}

TEST(HttpServerTest, AnswersPictureRequestsAndTheFixed404TextToAllOthers) {
  HttpHarness server;
  ASSERT_NE(server.port, 0);  // port 0 asked the system; the chosen one is the setting
  std::string padded = "GET / HTTP/1.0\r\nX-Padding: ";
  padded += std::string(600 - padded.size() - 4, 'a') + "\r\n\r\n";
  // Pages defeat caches with a query: the same picture.
  for (const std::string& request :
       {kGet, std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n"), padded,
        std::string("GET /?t=1733550000 HTTP/1.1\r\nHost: cam\r\n\r\n"),
        std::string("GET /? HTTP/1.0\r\n\r\n")})
    EXPECT_TRUE(IsPicture(Exchange(server.port, request))) << request;
  for (const std::string request :
       {"GET / HTTP/1.0\n\n", "get / HTTP/1.0\r\n\r\n", "HEAD / HTTP/1.0\r\n\r\n",
        "GET /index.html HTTP/1.0\r\n\r\n", "GET / HTTP/2.0\r\n\r\n", "GET / HTTP/1.0\r",
        "GET /?t=1 HTTP/2.0\r\n\r\n", "GET /?a b HTTP/1.0\r\n\r\n", "GET /x?t=1 HTTP/1.0\r\n\r\n",
        "GET /?t=1 HTTP/1.0\n\n", "GET /?t=1\r\n\r\n", "GET /stream HTTP/1.0\r\n\r\n"})
    EXPECT_EQ(Exchange(server.port, request), kHttpNotFound) << request;
  int fd = ConnectLoopback(server.port);  // ends its side before sending anything
  shutdown(fd, SHUT_WR);
  EXPECT_EQ(ReadToEnd(fd), kHttpNotFound);
  close(fd);
  EXPECT_TRUE(server.AllReleased());
}

TEST(HttpServerTest, VisitsAreLoggedAndClientsThatCloseAtOnceOrNeverSendReleased) {
  HttpHarness server({.requestTimeout = 1s});
  int fd = ConnectLoopback(server.port);
  // The address at once, the host name still to come; completed after the answer.
  ASSERT_TRUE(WaitFor([&] { return Logged(server, "HTTP 127.0.0.1 - %s"); }));
  send(fd, kGet.data(), kGet.size(), MSG_NOSIGNAL);
  EXPECT_TRUE(IsPicture(ReadToEnd(fd)));
  close(fd);
  ASSERT_TRUE(WaitFor([&] { return Logged(server, "HTTP 127.0.0.1 - localhost"); }));
  close(ConnectLoopback(server.port));
  fd = ConnectLoopback(server.port);
  EXPECT_EQ(ReadToEnd(fd), "");  // the request bound ran out: closed without an answer
  close(fd);
  EXPECT_TRUE(server.AllReleased());
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_TRUE(WaitFor([&] {  // all three visits completed
    return server.LogLines().size() == 3 && !Logged(server, "HTTP 127.0.0.1 - %s");
  }));
}

std::atomic<int> lookups = 0;
int FailNoName(const sockaddr*, socklen_t, char*, size_t) { return ++lookups, EAI_NONAME; }
int FailTryAgain(const sockaddr*, socklen_t, char*, size_t) { return ++lookups, EAI_AGAIN; }

// A definite answer is kept for the visitor's next requests; a passing failure
// is asked again.
TEST(HttpServerTest, FailedLookupsShowTheTextsOfTheTable) {
  for (auto [lookup, text, asked] : {std::tuple{&FailNoName, "(DNS Not Found)", 1},
                                     std::tuple{&FailTryAgain, "(DNS Server Error)", 3}}) {
    HttpHarness server({.reverseLookup = lookup});
    lookups = 0;
    const std::string line = std::string("HTTP 127.0.0.1 - ") + text;
    for (int i = 1; i <= 3; ++i) {
      Exchange(server.port, kGet);
      EXPECT_TRUE(WaitFor([&] { return Logged(server, line) == i; }));
    }
    EXPECT_EQ(lookups, asked) << text;
  }
}

// A page under client pull keeps asking while the camera fails, so it shows the
// picture again once the camera is back.
TEST(HttpServerTest, FailedCaptureAnswers503WithTheClientPullLine) {
  HttpHarness server({.refresh = 5});
  server.OnUi([&] { server.device.SetStepFails(TestPatternDevice::Step::kFrame, true); });
  std::string expected = kHttpUnavailable;
  expected.insert(expected.find("\r\n\r\n") + 2, "Refresh: 5\r\n");
  EXPECT_EQ(Exchange(server.port, kGet), expected);
  server.OnUi([&] { server.device.SetStepFails(TestPatternDevice::Step::kFrame, false); });
  EXPECT_TRUE(WaitFor([&] {
    return IsPicture(Exchange(server.port, kGet),
                     "HTTP/1.0 200 Ok\r\nServer: Snapvane 0.1\r\n"
                     "Content-Type: image/jpeg\r\nRefresh: 5\r\n\r\n");
  }));
}

int NameIpv6Only(const sockaddr* peer, socklen_t, char* host, size_t size) {
  std::snprintf(host, size, "%s", peer->sa_family == AF_INET6 ? "six.example" : "four.example");
  return 0;
}

// One listener for both families by default; an address of one family keeps to it.
TEST(HttpServerTest, ServesIpv4AndIpv6OrOnlyTheChosenAddress) {
  {
    HttpHarness server({.reverseLookup = &NameIpv6Only});
    EXPECT_TRUE(IsPicture(Exchange(server.port, kGet, /*ipv6=*/true)));
    EXPECT_TRUE(IsPicture(Exchange(server.port, kGet)));
    EXPECT_TRUE(WaitFor([&] {
      return Logged(server, "HTTP ::1 - six.example") == 1 &&
             Logged(server, "HTTP 127.0.0.1 - four.example") == 1;
    }));
  }
  for (auto [address, ipv6] : {std::pair{"127.0.0.1", false}, {"[::1]", true}}) {
    HttpHarness server({.address = address});
    EXPECT_TRUE(IsPicture(Exchange(server.port, kGet, ipv6))) << address;
    EXPECT_EQ(ConnectLoopback(server.port, !ipv6), -1) << address;
  }
  HttpHarness server({.address = "no.such.host.invalid"});
  EXPECT_FALSE(server.state->httpServer->listening());
  EXPECT_TRUE(WaitFor([&] {
    return std::ranges::any_of(server.LogLines(), [](const std::string& line) {
      return line.starts_with(
          "!!!HTTP server could not listen on port 0!!! (address "
          "no.such.host.invalid: ");
    });
  }));
}

TEST(HttpAuthTest, StoredHashIsSaltedAndChecksOnlyTheRightPassword) {
  const std::string a = HashHttpPassword("s3cret", 1000), b = HashHttpPassword("s3cret", 1000);
  EXPECT_NE(a, b);  // salted
  EXPECT_EQ(a.find("s3cret"), std::string::npos);
  EXPECT_TRUE(a.starts_with("pbkdf2-sha256$1000$"));
  EXPECT_TRUE(CheckHttpPassword(a, "s3cret"));
  for (const char* wrong : {"", "s3cre", "s3cret ", "S3CRET"})
    EXPECT_FALSE(CheckHttpPassword(a, wrong));
  for (const std::string& damaged :
       {std::string(""), a.substr(0, a.size() - 2), std::string("plain$1$00$00"),
        "pbkdf2-sha256$0$00$" + std::string(64, '0'),
        "pbkdf2-sha256$99999999999$00$" + std::string(64, '0')})
    EXPECT_FALSE(CheckHttpPassword(damaged, "s3cret")) << damaged;
}

// Authorization lines for "cam:wrong", "cat:s3:cret" and "cam:s3:cret".
const std::string kBasic = "Authorization: Basic ";
const std::string kWrongPassword = kBasic + "Y2FtOndyb25n\r\n",
                  kWrongUser = kBasic + "Y2F0OnMzOmNyZXQ=\r\n",
                  kRight = kBasic + "Y2FtOnMzOmNyZXQ=\r\n";

TEST(HttpServerTest, PasswordAsksForBasicAuthenticationAndTheVisitLineSaysSo) {
  HttpHarness server({.user = "cam", .password = "s3:cret", .streamFps = 5});
  const std::string padding = "X-Padding: " + std::string(700, 'p') + "\r\n";
  for (const std::string& request :
       {kGet, "GET /?t=1 HTTP/1.0\r\n" + kWrongPassword + "\r\n",
        "GET / HTTP/1.0\r\n" + kWrongUser + "\r\n", std::string("GET /stream HTTP/1.0\r\n\r\n"),
        std::string("GET / HTTP/1.0\r\nAuthorization: Digest x\r\n\r\n")})
    EXPECT_EQ(Exchange(server.port, request), kHttpUnauthorized) << request;
  EXPECT_EQ(Exchange(server.port, "GET /other HTTP/1.0\r\n\r\n"), kHttpNotFound);
  // Right, however late in the head it comes, and again (from the digest).
  for (int i = 0; i < 2; ++i)
    EXPECT_TRUE(
        IsPicture(Exchange(server.port, "GET /?t=2 HTTP/1.1\r\n" + padding + kRight + "\r\n")));
  EXPECT_TRUE(WaitFor([&] {
    return Logged(server, "HTTP 127.0.0.1 - localhost (refused: no valid password)") == 5 &&
           Logged(server, "HTTP 127.0.0.1 - localhost") == 3;
  }));
}

// Wrong passwords are checked beside the serving, a few at a time: a flood of
// them delays no viewer already let in, and one repeated costs one check.
TEST(HttpServerTest, WrongPasswordFloodDelaysNoViewerLetIn) {
  HttpHarness server({.user = "cam", .password = "s3:cret", .passwordIterations = 100000});
  const std::string right = "GET / HTTP/1.0\r\n" + kRight + "\r\n";
  ASSERT_TRUE(IsPicture(Exchange(server.port, right)));  // checked once, then known
  std::vector<UniqueFd> flood;
  for (int i = 0; i < 40; ++i) {
    const std::string pair = "cam:wrong" + std::to_string(i);
    unsigned char encoded[64];
    EVP_EncodeBlock(encoded, reinterpret_cast<const unsigned char*>(pair.data()),
                    static_cast<int>(pair.size()));
    flood.emplace_back(SendRequest(server.port, "GET / HTTP/1.0\r\n" + kBasic +
                                                    reinterpret_cast<char*>(encoded) + "\r\n\r\n"));
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(IsPicture(Exchange(server.port, right)));
  // Forty checks in a row would take about a second here.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  for (UniqueFd& fd : flood) EXPECT_EQ(ReadToEnd(fd.get()), kHttpUnauthorized);
}

// What a stream viewer receives within `length`.
std::string ReadStream(uint16_t port, std::chrono::milliseconds length) {
  UniqueFd fd(SendRequest(port, "GET /stream HTTP/1.0\r\n\r\n"));
  timeval slice{0, 100000};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
  std::string got;
  char buf[65536];
  for (const auto end = std::chrono::steady_clock::now() + length;
       std::chrono::steady_clock::now() < end;) {
    const ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
    if (n == 0) break;
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// Viewers share one capture per frame period; one that reads a byte a second
// skips frames and holds nobody back.
TEST(HttpStreamTest, ViewersShareCapturesAndASlowOneHoldsNobodyBack) {
  HttpHarness server({.streamFps = 5});
  std::atomic<bool> slowDone = false;
  std::thread slow([&] {
    UniqueFd fd(SendRequest(server.port, "GET /stream HTTP/1.0\r\n\r\n", 4096));
    while (!slowDone) {
      char byte;
      recv(fd.get(), &byte, 1, MSG_DONTWAIT);
      std::this_thread::sleep_for(1s);
    }
  });
  std::this_thread::sleep_for(300ms);
  const uint64_t framesBefore = server.Frames();
  std::vector<std::future<std::string>> fast;
  for (int i = 0; i < 19; ++i)
    fast.push_back(std::async(std::launch::async, [&] { return ReadStream(server.port, 5s); }));
  for (auto& viewer : fast) {
    const std::string stream = viewer.get();
    EXPECT_TRUE(
        stream.starts_with(std::string(kHttpStreamHeader) +
                           "--snapvaneframe\r\nContent-Type: image/jpeg\r\nContent-Length: "));
    EXPECT_GE(StreamParts(stream), 21);
    EXPECT_LE(StreamParts(stream), 27);
  }
  const uint64_t captures = server.Frames() - framesBefore;
  EXPECT_GE(captures, 22u);
  EXPECT_LE(captures, 28u);
  slowDone = true;
  slow.join();
  EXPECT_TRUE(WaitFor([&] { return Logged(server, "HTTP 127.0.0.1 - localhost (stream)") == 20; }));
  EXPECT_TRUE(server.AllReleased());
}

TEST(HttpServerTest, BusyPortIsLoggedButKeepsTheSwitchOn) {
  HttpHarness first, second;
  int result = -1;
  second.OnUi([&] {
    DisableHttp(*second.state);
    second.state->httpPort = first.port;
    result = EnableHttp(*second.state);
  });
  EXPECT_EQ(result, EADDRINUSE);
  EXPECT_EQ(second.state->http, 1);
  EXPECT_FALSE(second.state->httpServer->listening());
  EXPECT_TRUE(Logged(second, "!!!HTTP server could not listen on port " +
                                 std::to_string(first.port) + "!!! (" + std::strerror(EADDRINUSE) +
                                 ")"));
}

// Slow readers, resets mid-answer, a huge request and half-closed clients while
// crowds of ordinary browsers keep asking: every ordinary one is served, the slow
// ones get their whole picture in the end, and no descriptor, thread, snapshot
// file or transfer stays behind.
TEST(HttpServerTest, HostileClientsNeitherStopOthersNorLeak) {
  HttpHarness server({.requestTimeout = 1s});
  ASSERT_TRUE(IsPicture(Exchange(server.port, kGet)));  // the lookup threads are warm
  ASSERT_TRUE(server.AllReleased());
  const int descriptors = OpenDescriptors(), threads = Threads();

  std::vector<int> slow;
  for (int i = 0; i < 20; ++i) slow.push_back(SendRequest(server.port, kGet, 1024));
  for (int i = 0; i < 20; ++i) {
    int fd = SendRequest(server.port);
    char first[64];
    recv(fd, first, sizeof first, 0);  // part of the answer, then gone
    CloseWithReset(fd);
    CloseWithReset(SendRequest(server.port));  // gone before the answer
  }
  auto huge = std::async(std::launch::async, [&] {
    return Exchange(server.port, "GET / HTTP/1.0\r\n" + std::string(1 << 20, 'x'));
  });
  int halfClosed = SendRequest(server.port);
  shutdown(halfClosed, SHUT_WR);
  int cutShort = SendRequest(server.port, "GET / HT");  // then nothing, ever

  for (int round = 0; round < 2; ++round) {
    std::vector<std::future<std::string>> clients;
    for (int i = 0; i < 200; ++i)
      clients.push_back(
          std::async(std::launch::async, [&] { return Exchange(server.port, kGet); }));
    int pictures = 0;
    for (auto& client : clients) pictures += IsPicture(client.get());
    EXPECT_EQ(pictures, 200) << "round " << round;
  }
  EXPECT_TRUE(IsPicture(huge.get()));
  EXPECT_TRUE(IsPicture(ReadToEnd(halfClosed)));
  EXPECT_EQ(ReadToEnd(cutShort), kHttpNotFound);
  for (int fd : slow) {
    std::string answer;
    char byte;
    while (recv(fd, &byte, 1, 0) == 1) answer += byte;
    EXPECT_TRUE(IsPicture(answer));
  }
  for (int fd : {halfClosed, cutShort}) close(fd);
  for (int fd : slow) close(fd);

  EXPECT_TRUE(server.AllReleased());
  EXPECT_EQ(server.state->transfers->Current().range, 0);  // every transfer has ended
  EXPECT_TRUE(WaitFor([&] { return server.Connections() == 0; }));
  EXPECT_TRUE(WaitFor([&] { return OpenDescriptors() == descriptors && Threads() == threads; }))
      << OpenDescriptors() << " descriptors, " << Threads() << " threads";
}

// With no descriptor left the server still says why, instead of closing silently,
// and tells standard error once with a count.
TEST(HttpServerTest, NoDescriptorLeftAnswers503) {
  HttpHarness server;
  std::vector<UniqueFd> clients;
  int highest = 0;
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval limit{5, 0};
    setsockopt(clients.back().get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    highest = std::max(highest, clients.back().get());
  }
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  testing::internal::CaptureStderr();
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(highest + 1);  // no descriptor above the clients'
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  // Every free number below the limit taken, and each one a client frees taken again.
  std::vector<UniqueFd> fillers;
  auto fill = [&] {
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.emplace_back(fd);
  };
  fill();
  std::vector<std::string> answers;
  for (auto& fd : clients) {
    sockaddr_in to{AF_INET, htons(server.port), {htonl(INADDR_LOOPBACK)}, {}};
    connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to);
    answers.push_back(ReadToEnd(fd.get()));
    // While the server closes its side, another thread of the process takes
    // every number that comes free: the server must keep its spare all the same.
    std::atomic<bool> running = false, closed = false;
    std::thread others([&] {
      for (running = true; !closed.load();) fill();
      fill();
    });
    while (!running.load()) std::this_thread::yield();
    fd.Reset();
    WaitFor([&] { return server.Connections() == 0; });  // counted out just before the close
    std::this_thread::sleep_for(20ms);
    closed = true;
    others.join();
  }
  fillers.clear();
  setrlimit(RLIMIT_NOFILE, &old);
  const std::string errors = testing::internal::GetCapturedStderr();
  for (const std::string& answer : answers) EXPECT_EQ(answer, kHttpUnavailable);
  EXPECT_EQ(server.state->httpServer->refused(), 3);
  EXPECT_NE(errors.find("no descriptor left, 1 connection(s) answered 503"), std::string::npos)
      << errors;
  EXPECT_TRUE(IsPicture(Exchange(server.port, kGet)));  // and back to normal
  // Once the seconds of the reports have passed, the server rests again.
  std::this_thread::sleep_for(2 * kShortageReportEvery + 200ms);
  const std::clock_t before = std::clock();  // the process's processor time
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(std::clock() - before, CLOCKS_PER_SEC / 10);
}

}  // namespace
}  // namespace snapvane
