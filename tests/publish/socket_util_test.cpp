#include "publish/socket_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/publish/http_test_harness.h"
#include "tests/publish/scripted_ftp_server.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;
using test::CloseWithReset;
using test::RecordingUiSink;

// A connected loopback TCP pair; sendBuffer > 0 shrinks the sender's buffer.
struct TcpPair {
  UniqueFd sender, receiver;
  explicit TcpPair(int sendBuffer = 0) {
    int port = 0;
    UniqueFd listener(test::ListenOn("127.0.0.1", port));
    sender.Reset(test::ConnectLoopback(static_cast<uint16_t>(port)));
    if (sendBuffer) setsockopt(sender.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    receiver.Reset(accept(listener.get(), nullptr, nullptr));
  }
  // Everything the receiver gets until the sender closes, read from pauseFirst on.
  std::future<std::string> ReadAll(std::chrono::milliseconds pauseFirst = 0ms) {
    return std::async(std::launch::async, [fd = receiver.get(), pauseFirst] {
      std::this_thread::sleep_for(pauseFirst);
      return test::ReadToEnd(fd);
    });
  }
};

class SendFileTest : public ::testing::Test {
 protected:
  std::string FileOf(size_t bytes) {
    std::string path = (box / ("f" + std::to_string(bytes))).string();
    test::WriteFile(path, test::Picture(bytes));
    return path;
  }
  // Sends the file and returns its progress reports.
  std::vector<int32_t> Send(int socket, const std::string& path,
                            std::shared_ptr<RecordingUiSink> sink = nullptr,
                            std::chrono::milliseconds stall = kSendStallTimeout) {
    if (!sink) sink = std::make_shared<RecordingUiSink>();
    SendFileToSocket(sink.get(), socket, path.c_str(), stall);
    return sink->ProgressFor(socket);
  }
  test::Sandbox box;
};

TEST_F(SendFileTest, ReportsSizeEachBlockAndEndForShortFullAndEmptyFiles) {
  for (auto [bytes, progress] : {std::pair<size_t, std::vector<int32_t>>{700, {700, 188, 0, 0}},
                                 {1024, {1024, 512, 0, 0, 0}},  // the empty third read reports
                                 {0, {0, 0, 0}}}) {
    const std::string path = FileOf(bytes);
    TcpPair pair;
    auto received = pair.ReadAll();
    EXPECT_EQ(Send(pair.sender.get(), path), progress) << bytes;
    pair.sender.Reset();
    EXPECT_EQ(received.get(), test::ReadFile(path)) << bytes;
  }
}

TEST_F(SendFileTest, FullSendBufferOnNonBlockingSocketLosesAndRepeatsNothing) {
  const int32_t total = 3 * 1024 * 1024 + 77;
  const std::string path = FileOf(total);
  TcpPair pair(4096);
  ASSERT_TRUE(SetNonBlocking(pair.sender.get()));
  auto received = pair.ReadAll(200ms);  // starts late: sends fail with EAGAIN first
  const std::vector<int32_t> progress = Send(pair.sender.get(), path);
  pair.sender.Reset();
  EXPECT_TRUE(received.get() == test::ReadFile(path));
  // The size, one report per block each one block lower (the last a short one), the end.
  ASSERT_EQ(progress.size(), size_t(total / 512 + 3));
  for (size_t i = 0; i < progress.size(); ++i)
    ASSERT_EQ(progress[i], std::max<int32_t>(0, total - int32_t(512 * i))) << i;
}

// Resets the connection from the peer's side at the first block's report, so the
// reset lands during the second block.
struct ResettingSink : RecordingUiSink {
  explicit ResettingSink(int peer) : peer(peer) {}
  void ReportTransferProgress(int socket, int32_t remaining) override {
    RecordingUiSink::ReportTransferProgress(socket, remaining);
    if (++reports == 2) CloseWithReset(peer);
  }
  int peer, reports = 0;
};

TEST_F(SendFileTest, PeerResetDuringSecondBlockStopsTheTransfer) {
  TcpPair pair;
  auto sink = std::make_shared<ResettingSink>(pair.receiver.Release());
  // The second block gets nothing through, so its report still says 1488.
  EXPECT_EQ(Send(pair.sender.get(), FileOf(2000), sink),
            (std::vector<int32_t>{2000, 1488, 1488, 0}));
}

TEST_F(SendFileTest, PeerThatNeverReadsStopsTheTransferAfterTheStallBound) {
  TcpPair pair(4096);
  const auto progress = Send(pair.sender.get(), FileOf(8 * 1024 * 1024), nullptr, 300ms);
  ASSERT_GE(progress.size(), 3u);
  EXPECT_GT(progress[progress.size() - 2], 0);  // stopped with bytes unsent
  EXPECT_EQ(progress.back(), 0);
}

TEST(SendAllTest, ClosedPeerRaisesNoSignal) {
  TcpPair closed;
  CloseWithReset(closed.receiver.Release());
  // Without MSG_NOSIGNAL the second call would kill the test with SIGPIPE.
  const std::string data = test::Picture(256 * 1024);
  for (int i = 0; i < 2; ++i) SendAll(closed.sender.get(), data.data(), int(data.size()));
}

// Also on a blocking socket a peer that stops reading cannot hold the sender.
TEST(SendAllTest, PeerThatNeverReadsEndsItAfterTheStallBound) {
  TcpPair pair(4096);
  const std::string data = test::Picture(8 * 1024 * 1024);
  auto sent = std::async(std::launch::async,
                         [&] { SendAll(pair.sender.get(), data.data(), int(data.size()), 300ms); });
  const bool returned = sent.wait_for(10s) == std::future_status::ready;
  pair.receiver.Reset();  // frees a send that blocked, so the test can end
  EXPECT_TRUE(returned);
}

}  // namespace
}  // namespace snapvane
