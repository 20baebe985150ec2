// The upload dialogue against a scripted server: exact command transcripts for
// the replies real servers rarely give, time limits, and refused line breaks.
// Then ReadFtpReply over a socket pair: reply shapes, the buffer's bounds (random
// streams too, run under ASan in the sanitizer build), and log lines.
#include "publish/ftp_upload.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <thread>

#include "tests/publish/scripted_ftp_server.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using namespace std::literals;
using test::ScriptedFtpServer;
using Script = ScriptedFtpServer::Script;

constexpr FtpLimits kPatient{10000ms, 10000ms, 10000ms, kMaxFtpRenameRepeats};
constexpr FtpLimits kImpatient{300ms, 300ms, 300ms, kMaxFtpRenameRepeats};

const std::string kPicture = test::Picture(1300);

class FtpUploadTest : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteFile(path_, kPicture); }
  std::string Upload(ScriptedFtpServer& server, const FtpLimits& limits = kPatient) {
    settings_.server = server.server();
    std::string line = RunFtpUpload(nullptr, path_.c_str(), settings_, limits);
    server.Finish();
    return line;
  }
  // The line's head, then the 24-character time stamp.
  bool Logged(const std::string& line, bool ok) const {
    const std::string head = ok ? "FTP snap.jpg to " + settings_.server + " - "
                                : "!!!failed to FTP image to " + settings_.server + "!!! ";
    return line.rfind(head, 0) == 0 &&
           std::regex_match(line.substr(head.size()),
                            std::regex(ok ? "[0-9]+ secs from .{24}" : ".{24}"));
  }
  // The commands joined by '|', without the PORT arguments (they differ on every run).
  static std::string Transcript(const ScriptedFtpServer& server) {
    std::string out;
    for (const auto& c : server.commands)
      out += (out.empty() ? "" : "|") + (c.rfind("PORT ", 0) ? c : "PORT");
    return out;
  }

  test::Sandbox sandbox_;
  std::string path_ = (sandbox_ / "snvs1.tmp").string();
  FtpSettings settings_{"cam", "secret", "acct", "", "snap.jpg", ""};
};

// Stored under the temporary name, then renamed into place. On failure the
// window's line stays as it is; standard error says which step failed and what
// the server answered, without the password.
TEST_F(FtpUploadTest, TranscriptsForTheUsualAndUnusualReplies) {
  settings_.dir = "pics/cam1";
  // Pieces of transcripts: log-in, store, rename, one RNFR.
  const std::string in = "USER cam|PASS secret|",
                    st = "CWD pics/cam1|TYPE I|PORT|STOR snap.jpg.svtemp|",
                    mv = "NOOP|RNFR snap.jpg.svtemp|RNTO snap.jpg|QUIT",
                    fr = "RNFR snap.jpg.svtemp|", busy = "450 busy\r\n",
                    gone = "DELE snap.jpg.svtemp|", refused = "553 not allowed\r\n";
  FtpLimits fewRepeats = kPatient;
  fewRepeats.maxRenameRepeats = 4;
  struct Case {
    Script script;
    bool ok;
    std::string transcript;
    std::string why = "";  // on standard error
    FtpLimits limits = kPatient;
  } cases[] = {
      {{.address = "127.0.0.77"}, true, in + st + mv},  // a dotted address no host entry names
      {{.greeting = "120 wait a moment\r\n220 ready now\r\n"}, true, in + st + mv},
      {{.greeting = "421 too many users\r\n"}, false, "", "greeting: 421 too many users"},
      {{.replies = {{"USER", {"230 welcome\r\n"}}}}, true, "USER cam|" + st + mv},
      {{.replies = {{"PASS", {"332 need account\r\n"}}}}, true, in + "ACCT acct|" + st + mv},
      {{.replies = {{"PASS", {"530 secret is wrong\x1b[2J\r\n"}}}},
       false,
       "USER cam|PASS secret",
       "PASS: 530 **** is wrong?[2J"},
      {{.replies = {{"RNFR", {busy, busy, "350 go on\r\n"}}, {"RNTO", {busy, "250 done\r\n"}}}},
       true,
       in + st + "NOOP|" + fr + fr + fr + "RNTO snap.jpg|RNTO snap.jpg|QUIT"},
      {{.replies = {{"RNFR", std::deque<std::string>(50, busy)}}},
       false,  // bounded repeats
       in + st + "NOOP|" + fr + fr + fr + fr + fr + gone + "QUIT",
       "",
       fewRepeats},
      {{.replies = {{"RNFR", {"550 no such file\r\n"}}}},
       false,  // a failure after the store deletes the temporary file
       in + st + "NOOP|" + fr + gone + "QUIT"},
      {{.replies = {{"RNTO", {refused}}}},
       true,  // no rename onto an existing name: delete it, rename again
       in + st + "NOOP|" + fr + "RNTO snap.jpg|DELE snap.jpg|" + fr + "RNTO snap.jpg|QUIT"},
      {{.replies = {{"RNTO", {refused, refused}}}},
       false,  // the old picture is gone: the new one stays under its temporary name
       in + st + "NOOP|" + fr + "RNTO snap.jpg|DELE snap.jpg|" + fr + "RNTO snap.jpg|QUIT"},
      {{.replies = {{"RNTO", {refused}}, {"DELE", {"550 no\r\n"}}}},
       false,
       in + st + "NOOP|" + fr + "RNTO snap.jpg|DELE snap.jpg|" + gone + "QUIT"},
      {{.replies = {{"STOR-DONE", {"451 disk full\r\n"}}}},
       false,
       in + st + gone + "QUIT",
       "STOR snap.jpg.svtemp: 451 disk full"},
      {{.replies = {{"STOR", {"250 stored\r\n"}}}}, true, in + st + mv},
      {{.replies = {{"STOR", {"553 bad name\r\n"}}}}, false, in + st + "QUIT"},
      {{.greeting = ""}, false, "", "", kImpatient},  // the greeting never comes
      {{.connectBack = false},
       false,
       in + st + "QUIT",
       "the server did not open the data connection within 300 ms",
       kImpatient},
      {{.replies = {{"USER", {""}}}},
       false,
       "USER cam",
       "USER cam: no reply within 300 ms",
       kImpatient},
  };
  for (auto& c : cases) {
    ScriptedFtpServer server(c.script);
    testing::internal::CaptureStderr();
    std::string line = Upload(server, c.limits);
    const std::string why = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(Logged(line, c.ok)) << line;
    EXPECT_EQ(Transcript(server), c.transcript) << c.script.greeting;
    if (!c.why.empty()) {
      EXPECT_EQ(why, "FTP upload to " + settings_.server + " failed: " + c.why + "\n");
    }
    if (!c.ok) continue;
    EXPECT_EQ(server.received, kPicture);
    EXPECT_EQ(server.announced, server.controlPeer);  // the address the server sees the client at
  }
}

// Passive: EPSV, else PASV, to the control connection's peer whatever address
// PASV names; automatic: passive, else active, remembering what worked.
TEST_F(FtpUploadTest, PassiveAndAutomaticModes) {
  const std::string in = "USER cam|PASS secret|TYPE I|",
                    mv = "NOOP|RNFR snap.jpg.svtemp|RNTO snap.jpg|QUIT",
                    st = "STOR snap.jpg.svtemp|", no = "550 Permission denied.\r\n";
  const struct {
    FtpMode mode;
    Script script;
    bool ok;
    std::string transcript;
  } cases[] = {
      {FtpMode::kPassive, {}, true, in + "EPSV|" + st + mv},
      // Another address in PASV (loopback, so a faulty client would find nobody there).
      {FtpMode::kPassive,
       {.replies = {{"EPSV", {no}}}, .pasvAddress = "127.1.2.3"},
       true,
       in + "EPSV|PASV|" + st + mv},
      {FtpMode::kPassive,
       {.replies = {{"EPSV", {no}}, {"PASV", {no}}}},
       false,
       in + "EPSV|PASV|QUIT"},
      {FtpMode::kPassive, {.replies = {{"EPSV", {"229 garbled\r\n"}}}}, false, in + "EPSV|QUIT"},
      {FtpMode::kActive,
       {.replies = {{"PORT", {"500 Illegal PORT command.\r\n"}}}},
       false,
       in + "PORT|QUIT"},
      {FtpMode::kAutomatic,
       {.replies = {{"EPSV", {no}}, {"PASV", {no}}}},
       true,
       in + "EPSV|PASV|PORT|" + st + mv},
  };
  for (const auto& c : cases) {
    settings_.mode = c.mode;
    ScriptedFtpServer server(c.script);
    std::string line = Upload(server);
    EXPECT_TRUE(Logged(line, c.ok)) << line;
    EXPECT_EQ(Transcript(server), c.transcript);
    if (c.ok) {
      EXPECT_EQ(server.received, kPicture);
    }
  }

  // The mode that worked is tried first next time, until it is refused.
  settings_.mode = FtpMode::kAutomatic;
  ScriptedFtpServer server(
      {.replies = {
           {"EPSV", {no, no}}, {"PASV", {no}}, {"PORT", {"200 ok\r\n", "200 ok\r\n", no}}}});
  settings_.server = server.server();
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(Logged(RunFtpUpload(nullptr, path_.c_str(), settings_, kPatient), true)) << i;
  server.Finish();
  std::string all = Transcript(server), starts;
  for (size_t at = 0; (at = all.find("TYPE I|", at)) != all.npos; at += 7)
    starts += all.substr(at + 7, 4) + " ";
  EXPECT_EQ(starts, "EPSV PORT PORT EPSV ");  // active remembered, refused, passive again
  EXPECT_EQ(server.connections, 4);
}

// With TLS on, nothing but AUTH TLS goes out in clear: a server that refuses it,
// or that accepts it but speaks no TLS, never sees the user name or password.
TEST_F(FtpUploadTest, TlsNeverFallsBackToClearText) {
  settings_.tls = true;
  for (const char* auth : {"502 not implemented\r\n", "234 go ahead\r\n"}) {
    ScriptedFtpServer server({.replies = {{"AUTH", {auth}}}});
    testing::internal::CaptureStderr();
    EXPECT_TRUE(Logged(Upload(server, kImpatient), false));
    const std::string why = testing::internal::GetCapturedStderr();
    EXPECT_EQ(server.raw.rfind("AUTH TLS\r\n", 0), 0u);
    EXPECT_EQ(server.raw.find("cam"), std::string::npos) << auth;
    EXPECT_EQ(server.raw.find("secret"), std::string::npos) << auth;
    EXPECT_NE(why.find(auth[0] == '5' ? "does not offer TLS" : "TLS handshake"), std::string::npos)
        << why;
  }
}

// A server that falls silent after the stored file: the completion reply's wait
// runs out, and QUIT's reply is then waited for only briefly.
TEST_F(FtpUploadTest, ASilentServerHoldsTheUploadOnlyForTheReplyWait) {
  FtpLimits limits = kPatient;
  limits.replyTimeout = 2000ms;
  limits.quitTimeout = 100ms;
  ScriptedFtpServer server({.replies = {{"STOR-DONE", {""}}, {"QUIT", {""}}}});
  const auto start = std::chrono::steady_clock::now();
  std::string line = Upload(server, limits);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(Logged(line, false)) << line;
  EXPECT_GE(took, 2000ms);
  EXPECT_LT(took, 3500ms);  // not a second reply wait for QUIT
  EXPECT_EQ(Transcript(server), "USER cam|PASS secret|TYPE I|PORT|STOR snap.jpg.svtemp|QUIT");
}

// Line breaks in any field would smuggle commands; each is refused at the command
// that would carry it, and nothing else reaches the server.
TEST_F(FtpUploadTest, LineBreaksInFieldsNeverReachTheServer) {
  for (auto field : {&FtpSettings::user, &FtpSettings::pass, &FtpSettings::account,
                     &FtpSettings::dir, &FtpSettings::file}) {
    for (const char* evil : {"x\r\nDELE victim", "x\nDELE victim", "x\rDELE victim"}) {
      settings_ = {"cam", "secret", "acct", "", "snap.jpg", "pics"};
      settings_.*field = evil;
      ScriptedFtpServer server({.replies = {{"PASS", {"332 account?\r\n"}}}});  // ACCT too
      EXPECT_TRUE(Logged(Upload(server), false)) << evil;
      for (const auto& c : server.commands) EXPECT_EQ(c.find("DELE"), c.npos) << c;
      EXPECT_EQ(server.received, "");
      EXPECT_NE(FtpSettingsProblem(settings_), "");  // and the dialog refuses it
    }
  }
}

TEST(FtpSettingsText, RefusesPasswordCharactersOutside1To127Only) {
  FtpSettings s{"caf\xc3\xa9", "p@ss word!\x7f~", "acct", "ftp.example.org:2121", "a b.jpg", "x/y"};
  EXPECT_EQ(FtpSettingsProblem(s), "");  // only the password is restricted to ASCII
  s.pass = std::string("a\0b", 3);       // a zero byte would end the stored password early
  EXPECT_NE(FtpSettingsProblem(s).find("password"), std::string::npos);
}

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
