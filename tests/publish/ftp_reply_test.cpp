// ReadFtpReply over a socket pair: reply shapes, the buffer's bounds, a
// randomized stream harness (run under ASan in the sanitizer build), and the
// upload's log lines.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/fixed_text.h"
#include "publish/ftp_upload.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;

// A control connection whose server side the test writes.
struct Pair {
  Pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    control = std::make_unique<FtpControl>(fds[0], 2000ms);
    server = fds[1];
  }
  ~Pair() { CloseServer(); }
  void Write(const std::string& bytes) {
    ASSERT_EQ(::send(server, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void CloseServer() {
    if (server >= 0) ::close(server);
    server = -1;
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
      "331-one\r\nanything at all\r\n"  // a continuation line without a code ends it: -1
      "200-x\r\n 200 indented\r\n"      // a continuation beginning with a space: -1
      "21\r\n"                          // fewer than four characters end the reply
      "150-a\r\n\r\n"                   // an empty line ends the reply, no code
      "abc 220\r\n"
      "0220 leading zero\r\n"
      "99999999999999999999 huge\r\n");
  EXPECT_EQ(p.Read(), 220);
  EXPECT_EQ(p.Read(), 230);
  EXPECT_EQ(p.Read(), -1);
  EXPECT_EQ(p.Read(), -1);
  EXPECT_EQ(p.Read(), 21);
  EXPECT_EQ(p.Read(), -1);
  EXPECT_EQ(p.Read(), -1);
  EXPECT_EQ(p.Read(), 220);
  EXPECT_GT(p.Read(), 599);  // saturated, never overflowed; fails every class test
  p.CloseServer();
  EXPECT_EQ(p.Read(), -1);
  EXPECT_EQ(p.control->used(), 0u);
}

TEST(ReadFtpReply, BytesAfterAReplyStayForTheNext) {
  Pair p;
  p.Write("150 opening\r\n226 done\r\n200 no");
  EXPECT_EQ(p.Read(), 150);
  EXPECT_EQ(p.control->used(), std::string("226 done\r\n200 no").size());
  EXPECT_EQ(p.Read(), 226);
  std::thread late([&] {
    std::this_thread::sleep_for(50ms);
    p.Write("op\r\n");
  });
  EXPECT_EQ(p.Read(), 200);
  late.join();
}

TEST(ReadFtpReply, ByteByByteAndSplitLineEnds) {
  Pair p;
  const std::string reply = "250-a\r\n250-b\r\r\n250 done\r\n";
  std::thread writer([&] {
    for (char c : reply) {
      p.Write(std::string(1, c));
      std::this_thread::sleep_for(1ms);
    }
  });
  EXPECT_EQ(p.Read(), 250);
  writer.join();
}

TEST(ReadFtpReply, LinesAgainstTheBufferSize) {
  {  // 510 characters and CRLF fill the buffer exactly: still a reply.
    Pair p;
    p.Write("220 " + std::string(506, 'x') + "\r\n221 next\r\n");
    EXPECT_EQ(p.Read(), 220);
    EXPECT_EQ(p.Read(), 221);
  }
  {  // One more character does not fit: -1, and nothing past the buffer.
    Pair p;
    p.Write("220 " + std::string(507, 'x') + "\r\n");
    EXPECT_EQ(p.Read(), -1);
    EXPECT_LE(p.control->used(), kFtpReplyBufferSize);
  }
  {  // 2000 bytes in one line.
    Pair p;
    p.Write("220 " + std::string(2000, 'y') + "\r\n");
    EXPECT_EQ(p.Read(), -1);
  }
  {  // A long multi-line reply made of short lines is fine.
    Pair p;
    std::string reply;
    for (int i = 0; i < 100; ++i) reply += "211-feature " + std::to_string(i) + "\r\n";
    p.Write(reply + "211 end\r\n");
    EXPECT_EQ(p.Read(), 211);
  }
}

TEST(ReadFtpReply, WaitIsBounded) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  FtpControl control(fds[0], 100ms);
  ::send(fds[1], "220 no line end", 15, MSG_NOSIGNAL);
  EXPECT_EQ(ReadFtpReply(control), -1);
  ::close(fds[1]);
}

TEST(ReadFtpReply, EndlessContinuationLinesStillEndAtTheLimit) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  FtpControl control(fds[0], 200ms);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop && ::send(fds[1], "220-more\r\n", 10, MSG_NOSIGNAL) == 10) {
    }
  });
  EXPECT_EQ(ReadFtpReply(control), -1);
  stop = true;
  control.Close();  // the writer's next send fails
  writer.join();
  ::close(fds[1]);
}

// An independent reading of the reply rules for streams whose lines are short
// (so the buffer bound never matters): the codes every reply should give.
std::vector<int> ModelCodes(const std::string& stream) {
  std::vector<int> codes;
  size_t at = 0;
  for (;;) {
    int code = -1;
    bool more = true;
    while (more) {
      size_t end = stream.find("\r\n", at);
      if (end == std::string::npos) {
        codes.push_back(-1);  // the stream ends inside a reply
        return codes;
      }
      std::string line = stream.substr(at, end - at);
      at = end + 2;
      code = -1;
      if (!line.empty() && isdigit(static_cast<unsigned char>(line[0]))) {
        long long v = 0;
        for (size_t i = 0; i < line.size() && isdigit(static_cast<unsigned char>(line[i])); ++i)
          v = std::min(v * 10 + (line[i] - '0'), 9999LL);
        code = static_cast<int>(v);
      }
      more = line.size() >= 4 && line[3] == '-';
    }
    codes.push_back(code);
  }
}

std::string RandomStream(std::mt19937& rng, bool shortLines) {
  static const std::vector<std::string> pieces = {"\r\n",
                                                  "\r",
                                                  "\n",
                                                  "-",
                                                  " ",
                                                  "2",
                                                  "22",
                                                  "220",
                                                  "220-",
                                                  "220 ",
                                                  "150 ",
                                                  "1",
                                                  std::string(1, '\0'),
                                                  "\xff",
                                                  "abc",
                                                  "550-",
                                                  "999",
                                                  "0",
                                                  "331 ok"};
  std::string s;
  int count = std::uniform_int_distribution<int>(0, 60)(rng);
  for (int i = 0; i < count; ++i) {
    int kind = std::uniform_int_distribution<int>(0, 9)(rng);
    if (kind < 7) {
      s += pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(rng)];
    } else if (kind < 9 || shortLines) {
      int n = std::uniform_int_distribution<int>(1, 16)(rng);
      for (int j = 0; j < n; ++j)
        s.push_back(static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng)));
    } else {
      s.append(std::uniform_int_distribution<size_t>(100, 1500)(rng), 'z');
    }
  }
  if (!shortLines) return s;
  // Break every line before it reaches 90 bytes.
  std::string out;
  size_t lineLength = 0;
  for (char c : s) {
    out.push_back(c);
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0) {
      lineLength = 0;
    } else if (++lineLength >= 90) {
      out += "\r\n";
      lineLength = 0;
    }
  }
  return out;
}

// Reads calls replies from stream, checking the buffer's bounds after each.
std::vector<int> Drain(const std::string& stream, size_t calls) {
  std::vector<int> codes;
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  FtpControl control(fds[0], 2000ms);
  std::thread writer([&] {
    size_t sent = 0;
    while (sent < stream.size()) {
      ssize_t n = ::send(fds[1], stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::shutdown(fds[1], SHUT_WR);
  });
  for (size_t i = 0; i < calls; ++i) {
    int code = ReadFtpReply(control);
    EXPECT_TRUE(code == -1 || (code >= 0 && code <= 9999)) << code;
    EXPECT_LE(control.used(), kFtpReplyBufferSize);
    codes.push_back(code);
  }
  // Once the stream is read, nothing more comes.
  EXPECT_EQ(ReadFtpReply(control), -1);
  writer.join();
  ::close(fds[1]);
  return codes;
}

TEST(ReadFtpReply, RandomStreamsStayInsideTheBuffer) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 300; ++round) {
    std::string stream = RandomStream(rng, false);
    // Every call consumes a line end, empties a full buffer or meets the end.
    size_t lineEnds = 0;
    for (size_t at = 0; (at = stream.find("\r\n", at)) != std::string::npos; at += 2) ++lineEnds;
    Drain(stream, lineEnds + stream.size() / kFtpReplyBufferSize + 2);
    if (HasFailure()) return;
  }
}

TEST(ReadFtpReply, RandomShortLineStreamsMatchTheModel) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 300; ++round) {
    std::string stream = RandomStream(rng, true);
    std::vector<int> expected = ModelCodes(stream);
    ASSERT_EQ(Drain(stream, expected.size()), expected) << "round " << round;
  }
}

TEST(FtpCommands, OnlyWholeSingleLineCommandsAreSent) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  FtpControl control(fds[0], 100ms);
  EXPECT_FALSE(SendFtpCommand(control, "USER a\r\nDELE b\r\n"));
  EXPECT_FALSE(SendFtpCommand(control, "USER a\nb\r\n"));
  EXPECT_FALSE(SendFtpCommand(control, "USER a\rb\r\n"));
  EXPECT_FALSE(SendFtpCommand(control, std::string("USER a\0b\r\n", 10)));
  EXPECT_FALSE(SendFtpCommand(control, "NOOP"));
  EXPECT_FALSE(SendFtpCommand(control, "NOOP\n"));
  EXPECT_TRUE(SendFtpCommand(control, "NOOP\r\n"));
  char got[64];
  EXPECT_EQ(::recv(fds[1], got, sizeof got, 0), 6);
  EXPECT_EQ(std::string(got, 6), "NOOP\r\n");
  ::close(fds[1]);
}

TEST(FtpLogLine, TextsByteForByte) {
  FtpSettings s{"u", "p", "", "ftp.example.org:2121", "cam.jpg", ""};
  const std::string when = "Sun Dec 06 01:50:28 2026";
  EXPECT_EQ(FtpLogLine(0, s, 0, when), "FTP cam.jpg to ftp.example.org:2121 - 0 secs from " + when);
  EXPECT_EQ(FtpLogLine(0, s, 17, when),
            "FTP cam.jpg to ftp.example.org:2121 - 17 secs from " + when);
  EXPECT_EQ(FtpLogLine(1, s, 17, when),
            "!!!failed to FTP image to ftp.example.org:2121!!! " + when);
}

TEST(FtpLogLine, LongNamesAreCutOnACharacterBoundary) {
  FtpSettings s;
  for (int i = 0; i < 86; ++i) s.file += "\xe2\x82\xac";  // 258 bytes of euro signs
  // A euro sign spans bytes 510 to 512 of the whole line.
  s.server = std::string(244, 'h') + "\xe2\x82\xac" + std::string(12, 'h');
  std::string line = FtpLogLine(0, s, 3, "Sun Dec 06 01:50:28 2026");
  EXPECT_EQ(line.size(), 510u);
  EXPECT_EQ(line, ("FTP " + s.file + " to " + s.server).substr(0, 510));
  // The failure line of the longest server name fits whole.
  s.server = std::string(259, 's');
  std::string failed = FtpLogLine(1, s, 0, "Sun Dec 06 01:50:28 2026");
  EXPECT_EQ(failed, "!!!failed to FTP image to " + s.server + "!!! Sun Dec 06 01:50:28 2026");
}

}  // namespace
}  // namespace snapvane
