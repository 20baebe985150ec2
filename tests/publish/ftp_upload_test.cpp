// The upload dialogue against a scripted server: exact command transcripts for
// the replies real servers rarely give, time limits, and refused line breaks.
#include "publish/ftp_upload.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "app/app_state.h"
#include "tests/publish/scripted_ftp_server.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;
using test::ScriptedFtpServer;
using Script = ScriptedFtpServer::Script;

constexpr FtpLimits kPatient{10000ms, 10000ms, 10000ms, kMaxFtpRenameRepeats};
constexpr FtpLimits kImpatient{300ms, 300ms, 300ms, kMaxFtpRenameRepeats};

std::string Picture() {
  std::string bytes;
  for (int i = 0; i < 1300; ++i) bytes.push_back(static_cast<char>(i * 7 + 3));
  return bytes;
}

class FtpUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_->ui = sink_;
    test::WriteFile(path_, Picture());
  }
  std::string Upload(ScriptedFtpServer& server, const FtpLimits& limits = kPatient) {
    settings_.server = server.server();
    std::string line = RunFtpUpload(*state_, path_.c_str(), settings_, limits);
    server.Finish();
    return line;
  }
  bool Failed(const std::string& line) const {
    std::string head = "!!!failed to FTP image to " + settings_.server + "!!! ";
    return line.size() == head.size() + 24 && line.compare(0, head.size(), head) == 0;
  }
  bool Succeeded(const std::string& line) const {
    return std::regex_match(
        line, std::regex("FTP snap\\.jpg to " +
                         std::regex_replace(settings_.server, std::regex("\\."), "\\.") +
                         " - [0-9]+ secs from [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} "
                         "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}"));
  }
  // The commands joined by '|', without the PORT arguments (they differ on every run).
  static std::string Transcript(const ScriptedFtpServer& server) {
    std::string out;
    for (const auto& c : server.commands)
      out += (out.empty() ? "" : "|") + (c.rfind("PORT ", 0) ? c : "PORT");
    return out;
  }

  std::shared_ptr<AppState> state_ = MakeAppState();
  std::shared_ptr<test::RecordingUiSink> sink_ = std::make_shared<test::RecordingUiSink>();
  test::Sandbox sandbox_;
  std::string path_ = (sandbox_ / "snvs1.tmp").string();
  FtpSettings settings_{"cam", "secret", "acct", "", "snap.jpg", ""};
};

TEST_F(FtpUploadTest, StoresUnderTheTemporaryNameAndRenamesIntoPlace) {
  // A dotted address that no host entry names is used as given; no directory, no CWD.
  for (auto [address, dir] : {std::pair{"127.0.0.1", "pics/cam1"}, {"127.0.0.77", ""}}) {
    settings_.dir = dir;
    ScriptedFtpServer server({.address = address});
    std::string line = Upload(server);
    EXPECT_TRUE(Succeeded(line)) << line;
    EXPECT_EQ(Transcript(server),
              std::string("USER cam|PASS secret|") + (*dir ? "CWD pics/cam1|" : "") +
                  "TYPE I|PORT|STOR snap.jpg.svtemp|NOOP|RNFR snap.jpg.svtemp|RNTO snap.jpg|QUIT");
    EXPECT_EQ(server.received, Picture());
    EXPECT_EQ(server.announced, server.controlPeer);  // the address the server sees the client at
  }
  auto progress = sink_->Progress();  // the total first, 0 last
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front().second, 1300);
  EXPECT_EQ(progress.back().second, 0);
}

TEST_F(FtpUploadTest, TranscriptsForUnusualReplies) {
  // Pieces of transcripts: log-in, store, rename, one RNFR.
  const std::string in = "USER cam|PASS secret|", st = "TYPE I|PORT|STOR snap.jpg.svtemp|",
                    mv = "NOOP|RNFR snap.jpg.svtemp|RNTO snap.jpg|QUIT",
                    fr = "RNFR snap.jpg.svtemp|";
  FtpLimits fewRepeats = kPatient;
  fewRepeats.maxRenameRepeats = 4;
  const std::string busy = "450 busy\r\n";
  struct Case {
    Script script;
    bool ok;
    std::string transcript;
    FtpLimits limits = kPatient;
  } cases[] = {
      {{.greeting = "120 wait a moment\r\n220 ready now\r\n"}, true, in + st + mv},
      {{.greeting = "220-Welcome\r\n220-to the server\r\n220 ready\r\n"}, true, in + st + mv},
      {{.greeting = "220-one line\r\n220 \r\n"}, true, in + st + mv},
      {{.greeting = "421 too many users\r\n"}, false, ""},
      {{.greeting = "120 wait\r\n421 gave up\r\n"}, false, ""},
      {{.greeting = "220-Welcome\r\n to the server\r\n220 ready\r\n"}, false, ""},
      {{.greeting = "220 " + std::string(2000, 'x') + "\r\n"}, false, ""},
      {{.greeting = "hello\r\n"}, false, ""},
      {{.replies = {{"USER", {"230 welcome\r\n"}}}}, true, "USER cam|" + st + mv},
      {{.replies = {{"PASS", {"332 need account\r\n"}}}}, true, in + "ACCT acct|" + st + mv},
      {{.replies = {{"PASS", {"530 login incorrect\r\n"}}}}, false, "USER cam|PASS secret"},
      {{.replies = {{"RNFR", {busy, busy, "350 go on\r\n"}}, {"RNTO", {busy, "250 done\r\n"}}}},
       true,
       in + st + "NOOP|" + fr + fr + fr + "RNTO snap.jpg|RNTO snap.jpg|QUIT"},
      {{.replies = {{"RNFR", std::deque<std::string>(50, busy)}}},
       false,  // bounded repeats
       in + st + "NOOP|" + fr + fr + fr + fr + fr + "QUIT",
       fewRepeats},
      {{.replies = {{"RNFR", {"550 no such file\r\n"}}}}, false, in + st + "NOOP|" + fr + "QUIT"},
      {{.replies = {{"RNTO", {"553 not allowed\r\n"}}}}, false, in + st + mv},
      {{.replies = {{"STOR-DONE", {"451 disk full\r\n"}}}}, false, in + st + "QUIT"},
      {{.replies = {{"STOR", {"250 stored\r\n"}}}}, true, in + st + mv},
      {{.replies = {{"STOR", {"553 bad name\r\n"}}}}, false, in + st + "QUIT"},
      {{.silent = true}, false, "", kImpatient},
      {{.closeAfterGreeting = true}, false, "", kImpatient},
      {{.connectBack = false}, false, in + st + "QUIT", kImpatient},   // the data wait expires
      {{.replies = {{"USER", {""}}}}, false, "USER cam", kImpatient},  // a reply that never comes
  };
  for (auto& c : cases) {
    ScriptedFtpServer server(c.script);
    std::string line = Upload(server, c.limits);
    EXPECT_TRUE(c.ok ? Succeeded(line) : Failed(line)) << line;
    EXPECT_EQ(Transcript(server), c.transcript) << c.script.greeting.substr(0, 40);
    if (c.ok) EXPECT_EQ(server.received, Picture());
  }
}

// Line breaks in any field would smuggle commands; each is refused at the command
// that would carry it, and nothing else reaches the server.
TEST_F(FtpUploadTest, LineBreaksInFieldsNeverReachTheServer) {
  const std::set<std::string> verbs = {"USER", "PASS", "ACCT", "CWD",  "TYPE", "PORT",
                                       "STOR", "NOOP", "RNFR", "RNTO", "QUIT"};
  for (auto field : {&FtpSettings::user, &FtpSettings::pass, &FtpSettings::account,
                     &FtpSettings::dir, &FtpSettings::file}) {
    for (const char* evil : {"x\r\nDELE victim", "x\nDELE victim", "x\rDELE victim"}) {
      settings_ = {"cam", "secret", "acct", "", "snap.jpg", "pics"};
      settings_.*field = evil;
      ScriptedFtpServer server(
          {.replies = {{"PASS", {"332 account please\r\n"}}}});  // so ACCT is asked for
      EXPECT_TRUE(Failed(Upload(server))) << evil;
      for (const auto& c : server.commands)
        EXPECT_TRUE(verbs.count(c.substr(0, c.find(' '))) && c.find("DELE") == c.npos) << c;
      EXPECT_EQ(server.received, "");
      EXPECT_FALSE(FtpSettingsProblem(settings_).empty());
    }
  }
}

TEST(FtpSettingsText, RefusesLineBreaksAndPasswordCharactersAbove127) {
  const FtpSettings clean{"cam", "p@ss word!", "acct", "ftp.example.org:2121", "a b.jpg", "x/y"};
  EXPECT_EQ(FtpSettingsProblem(clean), "");
  std::pair<std::string FtpSettings::*, const char*> fields[] = {
      {&FtpSettings::user, "user name"},  {&FtpSettings::pass, "password"},
      {&FtpSettings::account, "account"}, {&FtpSettings::server, "server"},
      {&FtpSettings::dir, "directory"},   {&FtpSettings::file, "file name"}};
  for (auto [field, name] : fields) {
    for (const char* bad : {"a\rb", "a\nb", "\r\n"}) {
      FtpSettings s = clean;
      s.*field = bad;
      std::string problem = FtpSettingsProblem(s);
      EXPECT_TRUE(problem.find(name) != problem.npos && problem.find("line break") != problem.npos)
          << problem;
    }
  }
  FtpSettings accented = clean;
  accented.pass = "caf\xc3\xa9";
  EXPECT_NE(FtpSettingsProblem(accented).find("password"), std::string::npos);
  accented.pass = "\x7f~";
  accented.user = "caf\xc3\xa9";  // only the password is restricted to ASCII
  EXPECT_EQ(FtpSettingsProblem(accented), "");
}

}  // namespace
}  // namespace snapvane
