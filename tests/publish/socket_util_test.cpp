#include "publish/socket_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;
using test::RecordingUiSink;
using test::Sandbox;

// A connected loopback TCP pair: sender and receiver.
struct TcpPair {
  UniqueFd sender, receiver;
};

TcpPair MakeTcpPair(int sendBuffer = 0, int receiveBuffer = -1) {
  if (receiveBuffer < 0) receiveBuffer = sendBuffer;
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(listener.get(), 1), 0);
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length);
  TcpPair pair;
  pair.sender.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (sendBuffer > 0)
    setsockopt(pair.sender.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  EXPECT_EQ(connect(pair.sender.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  pair.receiver.Reset(accept(listener.get(), nullptr, nullptr));
  if (receiveBuffer > 0)
    setsockopt(pair.receiver.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  return pair;
}

std::string RandomBytes(size_t n) {
  std::mt19937 random(static_cast<unsigned>(n));
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// Reads until the peer closes (or a receive fails).
std::future<std::string> ReadAllAsync(int fd, std::chrono::milliseconds pauseFirst = 0ms) {
  return std::async(std::launch::async, [fd, pauseFirst] {
    std::this_thread::sleep_for(pauseFirst);
    std::string out;
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  });
}

class SendFileTest : public ::testing::Test {
 protected:
  SendFileTest() : state(MakeAppState()), sink(std::make_shared<RecordingUiSink>()) {
    state->ui = sink;
  }
  std::string FileOf(size_t bytes, const std::string& name = "snap.jpg") {
    std::string path = (box / name).string();
    test::WriteFile(path, RandomBytes(bytes));
    return path;
  }

  Sandbox box;
  std::shared_ptr<AppState> state;
  std::shared_ptr<RecordingUiSink> sink;
};

TEST_F(SendFileTest, ReportsSizeEachBlockAndEndForShortFullAndEmptyFiles) {
  struct Case {
    size_t bytes;
    std::vector<int32_t> progress;
  };
  const Case cases[] = {
      {700, {700, 188, 0, 0}},
      {1024, {1024, 512, 0, 0, 0}},  // the empty third read still reports
      {0, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    auto fresh = std::make_shared<RecordingUiSink>();  // descriptors are reused
    state->ui = fresh;
    std::string path = FileOf(c.bytes, "f" + std::to_string(c.bytes));
    TcpPair pair = MakeTcpPair();
    auto received = ReadAllAsync(pair.receiver.get());
    SendFileToSocket(*state, pair.sender.get(), path.c_str());
    EXPECT_EQ(fresh->ProgressFor(pair.sender.get()), c.progress);
    pair.sender.Reset();
    EXPECT_EQ(received.get(), test::ReadFile(path));
  }
}

TEST_F(SendFileTest, MissingFileSendsNothingAndReportsZeroTwice) {
  TcpPair pair = MakeTcpPair();
  auto received = ReadAllAsync(pair.receiver.get());
  SendFileToSocket(*state, pair.sender.get(), (box / "absent.jpg").c_str());
  EXPECT_EQ(sink->ProgressFor(pair.sender.get()), (std::vector<int32_t>{0, 0}));
  pair.sender.Reset();
  EXPECT_EQ(received.get(), "");
}

TEST_F(SendFileTest, FullSendBufferOnNonBlockingSocketLosesAndRepeatsNothing) {
  const std::string path = FileOf(3 * 1024 * 1024 + 77);
  TcpPair pair = MakeTcpPair(4096);
  ASSERT_TRUE(SetNonBlocking(pair.sender.get()));
  // The reader starts late, so the small send buffer fills and sends fail with
  // EAGAIN many times before it drains.
  auto received = ReadAllAsync(pair.receiver.get(), 200ms);
  const int sender = pair.sender.get();
  SendFileToSocket(*state, sender, path.c_str());
  pair.sender.Reset();
  const std::string bytes = received.get();
  ASSERT_EQ(bytes.size(), test::ReadFile(path).size());
  EXPECT_TRUE(bytes == test::ReadFile(path));

  // One report per 512-byte block, each exactly one block lower.
  std::vector<int32_t> progress = sink->ProgressFor(sender);
  const int32_t total = static_cast<int32_t>(bytes.size());
  ASSERT_GE(progress.size(), 3u);
  EXPECT_EQ(progress.front(), total);
  for (size_t i = 1; i + 1 < progress.size(); ++i)
    EXPECT_EQ(progress[i], std::max<int32_t>(0, total - static_cast<int32_t>(512 * i))) << i;
  EXPECT_EQ(progress.back(), 0);
}

// A sink that resets the connection from the peer's side when the first block's
// report arrives, so the reset lands during the second block.
class ResettingSink : public RecordingUiSink {
 public:
  explicit ResettingSink(int peer) : peer_(peer) {}
  void ReportTransferProgress(int socket, int32_t remaining) override {
    RecordingUiSink::ReportTransferProgress(socket, remaining);
    if (++reports_ == 2) {
      linger abort{1, 0};  // close with a reset instead of a normal end
      setsockopt(peer_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      close(peer_);
    }
  }

 private:
  int peer_;
  int reports_ = 0;
};

TEST_F(SendFileTest, PeerResetDuringSecondBlockStopsWithBytesStillUnsent) {
  const std::string path = FileOf(2000);
  TcpPair pair = MakeTcpPair();
  auto resetting = std::make_shared<ResettingSink>(pair.receiver.Release());
  state->ui = resetting;
  SendFileToSocket(*state, pair.sender.get(), path.c_str());
  // 2000, then 1488 after the first block; the second block gets nothing through,
  // so its report still says 1488; no third block; then the final 0.
  EXPECT_EQ(resetting->ProgressFor(pair.sender.get()), (std::vector<int32_t>{2000, 1488, 1488, 0}));
}

TEST_F(SendFileTest, PeerThatNeverReadsStopsTheTransferAfterTheStallBound) {
  const std::string path = FileOf(8 * 1024 * 1024);
  TcpPair pair = MakeTcpPair(4096);
  SendFileToSocket(*state, pair.sender.get(), path.c_str(), 300ms);
  std::vector<int32_t> progress = sink->ProgressFor(pair.sender.get());
  ASSERT_GE(progress.size(), 3u);
  EXPECT_EQ(progress.front(), 8 * 1024 * 1024);
  EXPECT_GT(progress[progress.size() - 2], 0);  // stopped with bytes unsent
  EXPECT_EQ(progress.back(), 0);
}

TEST(SendAllTest, NonBlockingSocketWithFullBufferStillSendsEverything) {
  TcpPair pair = MakeTcpPair(4096, 0);
  ASSERT_TRUE(SetNonBlocking(pair.sender.get()));
  const std::string data = RandomBytes(4 * 1024 * 1024);
  auto received = ReadAllAsync(pair.receiver.get(), 100ms);
  SendAll(pair.sender.get(), data.data(), static_cast<int>(data.size()));
  pair.sender.Reset();
  EXPECT_TRUE(received.get() == data);
}

TEST(SendAllTest, ClosedPeerEndsItSilentlyWithoutSignal) {
  TcpPair pair = MakeTcpPair();
  linger abort{1, 0};
  setsockopt(pair.receiver.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  pair.receiver.Reset();
  const std::string data = RandomBytes(256 * 1024);
  // Without MSG_NOSIGNAL the second call would kill the test with SIGPIPE.
  SendAll(pair.sender.get(), data.data(), static_cast<int>(data.size()));
  SendAll(pair.sender.get(), data.data(), static_cast<int>(data.size()));
  SendAll(pair.sender.get(), data.data(), 0);
  char probe = 0;
  EXPECT_LT(send(pair.sender.get(), &probe, 1, MSG_NOSIGNAL), 0);
}

TEST(WaitTest, ReadyTimeoutAndFailedAreTold) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  UniqueFd a(fds[0]), b(fds[1]);
  EXPECT_EQ(WaitReadable(a.get(), 20ms), WaitResult::kTimeout);
  EXPECT_EQ(WaitWritable(a.get(), 20ms), WaitResult::kReady);
  ASSERT_EQ(write(b.get(), "x", 1), 1);
  EXPECT_EQ(WaitReadable(a.get(), 1s), WaitResult::kReady);
  const int stale = b.get();
  b.Reset();
  EXPECT_FALSE(b.valid());
  EXPECT_EQ(WaitReadable(stale, 20ms), WaitResult::kFailed);  // closed descriptor
  EXPECT_EQ(WaitReadable(-1, 20ms), WaitResult::kFailed);
}

}  // namespace
}  // namespace snapvane
