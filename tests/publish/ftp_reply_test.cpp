// ReadFtpReply over a socket pair: reply shapes, the buffer's bounds, a randomized
// stream harness (run under ASan in the sanitizer build), commands and log lines.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/fixed_text.h"
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
  Pair p(100ms);
  p.Write("220 no line end");
  EXPECT_EQ(p.Read(), -1);
  Pair q(200ms);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop && q.Write("220-more\r\n")) {
    }
  });
  EXPECT_EQ(q.Read(), -1);
  stop = true;
  q.control->Close();  // the writer's next send fails
  writer.join();
}

// An independent reading of the reply rules for streams of short lines.
std::vector<int> ModelCodes(const std::string& stream) {
  std::vector<int> codes;
  for (size_t at = 0;;) {
    int code = -1;
    for (bool more = true; more;) {
      size_t end = stream.find("\r\n", at);
      if (end == std::string::npos) return codes.push_back(-1), codes;
      std::string line = stream.substr(at, end - at);
      at = end + 2;
      long long v = -1;
      for (size_t i = 0; i < line.size() && isdigit(static_cast<unsigned char>(line[i])); ++i)
        v = std::min(std::max(v, 0LL) * 10 + (line[i] - '0'), 9999LL);
      code = static_cast<int>(v);
      more = line.size() >= 4 && line[3] == '-';
    }
    codes.push_back(code);
  }
}

// Short streams stay below the buffer size (60 pieces of at most 8 bytes).
std::string RandomStream(std::mt19937& rng, bool shortLines) {
  static constexpr std::string_view pieces[] = {
      "\r\n", "\r", "\n",   "-",    " ",   "2",    "22",  "220", "220-",  "220 ",
      "150 ", "1",  "\0"sv, "\xff", "abc", "550-", "999", "0",   "331 ok"};
  auto roll = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  std::string s;
  for (int i = roll(0, 60); i > 0; --i) {
    int kind = roll(0, 9);
    if (kind < 7)
      s += pieces[roll(0, int(std::size(pieces)) - 1)];
    else if (kind < 9 || shortLines)
      for (int j = roll(1, shortLines ? 8 : 16); j > 0; --j) s.push_back(char(roll(0, 255)));
    else
      s.append(roll(100, 1500), 'z');
  }
  return s;
}

// Reads calls replies from stream, checking the buffer's bounds after each.
std::vector<int> Drain(const std::string& stream, size_t calls) {
  Pair p;
  std::thread writer([&] { p.Write(stream), ::shutdown(p.server, SHUT_WR); });
  std::vector<int> codes;
  for (size_t i = 0; i < calls; ++i) {
    codes.push_back(p.Read());
    EXPECT_TRUE(codes.back() >= -1 && codes.back() <= 9999) << codes.back();
    EXPECT_LE(p.control->used(), kFtpReplyBufferSize);
  }
  EXPECT_EQ(p.Read(), -1);  // once the stream is read, nothing more comes
  writer.join();
  return codes;
}

TEST(ReadFtpReply, RandomStreamsStayInsideTheBufferAndShortOnesMatchTheModel) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 300 && !HasFailure(); ++round) {
    std::string stream = RandomStream(rng, false);
    Drain(stream, stream.size() / 2 + 2);  // each call takes a CRLF, a full buffer or the end
  }
  for (int round = 0; round < 300; ++round) {
    std::string stream = RandomStream(rng, true);
    std::vector<int> expected = ModelCodes(stream);
    ASSERT_EQ(Drain(stream, expected.size()), expected) << "round " << round;
  }
}

TEST(FtpCommands, OnlyWholeSingleLineCommandsAreSent) {
  Pair p(100ms);
  for (std::string_view bad : {"USER a\r\nDELE b\r\n"sv, "USER a\nb\r\n"sv, "USER a\rb\r\n"sv,
                               "USER a\0b\r\n"sv, "NOOP"sv, "NOOP\n"sv})
    EXPECT_FALSE(SendFtpCommand(*p.control, std::string(bad)));
  EXPECT_TRUE(SendFtpCommand(*p.control, "NOOP\r\n"));
  char got[64];
  ASSERT_EQ(::recv(p.server, got, sizeof got, 0), 6);
  EXPECT_EQ(std::string(got, 6), "NOOP\r\n");
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
