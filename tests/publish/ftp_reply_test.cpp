// ReadFtpReply over a socket pair: reply shapes, the buffer's bounds (random
// streams too, run under ASan in the sanitizer build), and log lines.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "publish/ftp_upload.h"

namespace snapvane {
namespace {

using namespace std::literals;

// A control connection whose server side the test writes.
struct Pair {
  explicit Pair(std::chrono::milliseconds wait = 2000ms) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    control = std::make_unique<FtpControl>(fds[0], wait);
    server = fds[1];
  }
  ~Pair() { ::close(server); }
  bool Write(const std::string& b) {
    return ::send(server, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
  }
  int Read() { return ReadFtpReply(*control); }
  std::unique_ptr<FtpControl> control;
  int server = -1;
};

TEST(ReadFtpReply, RepliesAndTheirCodes) {
  Pair p;
  p.Write(
      "220 ready\r\n"
      "230-first\r\n230-second\r\n230 last\r\n"
      "331-one\r\nanything at all\r\n"  // a continuation line without a code: -1
      "200-x\r\n 200 indented\r\n"      // a continuation beginning with a space: -1
      "21\r\n"                          // fewer than four characters end the reply
      "150-a\r\n\r\n"                   // an empty line ends the reply, no code
      "abc 220\r\n"
      "0220 leading zero\r\n"
      "99999999999999999999 huge\r\n"
      "150 opening\r\n226 do");
  for (int want : {220, 230, -1, -1, 21, -1, -1, 220}) EXPECT_EQ(p.Read(), want);
  EXPECT_GT(p.Read(), 599);  // saturated, never overflowed
  EXPECT_EQ(p.Read(), 150);
  EXPECT_EQ(p.control->used(), 6u);  // bytes after a reply stay for the next
  std::thread late([&] { std::this_thread::sleep_for(50ms), p.Write("ne\r\n"); });
  EXPECT_EQ(p.Read(), 226);
  late.join();
  ::shutdown(p.server, SHUT_RDWR);
  EXPECT_EQ(p.Read(), -1);
  EXPECT_EQ(p.control->used(), 0u);
}

TEST(ReadFtpReply, LinesAgainstTheBufferSize) {
  Pair p;  // 510 characters and CRLF fill the buffer exactly: still a reply
  p.Write("220 " + std::string(506, 'x') + "\r\n221 next\r\n");
  EXPECT_EQ(p.Read(), 220);
  EXPECT_EQ(p.Read(), 221);
  for (size_t n : {507, 2000}) {  // one more does not fit: -1, nothing past the buffer
    Pair q;
    q.Write("220 " + std::string(n, 'x') + "\r\n");
    EXPECT_EQ(q.Read(), -1);
    EXPECT_LE(q.control->used(), kFtpReplyBufferSize);
  }
}

TEST(ReadFtpReply, WaitIsBoundedEvenForEndlessContinuations) {
  Pair q(200ms);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop && q.Write("220-more\r\n")) continue;
  });
  EXPECT_EQ(q.Read(), -1);
  stop = true;
  q.control->Close();  // the writer's next send fails
  writer.join();
}

TEST(ReadFtpReply, RandomStreamsStayInsideTheBuffer) {
  static constexpr std::string_view pieces[] = {
      "\r\n", "\r", "\n", "-", " ", "220", "220-", "220 ", "1", "99999", "ab", "\0\xff"sv, "\x80"};
  std::mt19937 rng(20261206);
  auto roll = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int round = 0; round < 300 && !HasFailure(); ++round) {
    std::string s;
    for (int i = roll(0, 60); i > 0; --i)
      s += roll(0, 9) ? std::string(pieces[roll(0, int(std::size(pieces)) - 1)])
                      : std::string(roll(100, 1500), 'z');
    Pair p;
    std::thread writer([&] { p.Write(s), ::shutdown(p.server, SHUT_WR); });
    // Each call takes a CRLF, a full buffer or the end.
    for (size_t i = 0; i < s.size() / 2 + 2; ++i) {
      const int code = p.Read();
      EXPECT_TRUE(code >= -1 && code <= 9999) << code;
      EXPECT_LE(p.control->used(), kFtpReplyBufferSize);
    }
    EXPECT_EQ(p.Read(), -1);  // once the stream is read, nothing more comes
    writer.join();
  }
}

TEST(SendFtpCommand, FailsWhenTheCommandCannotGoOut) {
  Pair p;
  EXPECT_TRUE(SendFtpCommand(*p.control, "NOOP\r\n"));
  EXPECT_FALSE(SendFtpCommand(*p.control, "NOOP"));  // no line end
  ::close(p.server);                                 // the server has gone: the send fails
  p.server = -1;
  EXPECT_FALSE(SendFtpCommand(*p.control, "NOOP\r\n"));
}

TEST(FtpLogLine, TextsByteForByteAndLongNamesCutOnACharacterBoundary) {
  const std::string when = "Sun Dec 06 01:50:28 2026";
  FtpSettings s{"u", "p", "", "ftp.example.org:2121", "cam.jpg", ""};
  EXPECT_EQ(FtpLogLine(0, s, 17, when),
            "FTP cam.jpg to ftp.example.org:2121 - 17 secs from " + when);
  EXPECT_EQ(FtpLogLine(1, s, 17, when),
            "!!!failed to FTP image to ftp.example.org:2121!!! " + when);
  s.file.clear();
  for (int i = 0; i < 86; ++i) s.file += "\xe2\x82\xac";  // 258 bytes of euro signs
  s.server = std::string(244, 'h') + "\xe2\x82\xac" + std::string(12, 'h');  // one spans 510..512
  EXPECT_EQ(FtpLogLine(0, s, 3, when), ("FTP " + s.file + " to " + s.server).substr(0, 510));
  s.server = std::string(259, 's');  // the failure line of the longest server fits whole
  EXPECT_EQ(FtpLogLine(1, s, 0, when), "!!!failed to FTP image to " + s.server + "!!! " + when);
}

}  // namespace
}  // namespace snapvane
