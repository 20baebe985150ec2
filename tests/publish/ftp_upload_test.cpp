// The upload dialogue against a scripted server: exact command transcripts for
// the replies real servers rarely give, time limits, and refused line breaks.
#include "publish/ftp_upload.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <set>

#include "app/app_state.h"
#include "app/time_text.h"
#include "tests/publish/scripted_ftp_server.h"
#include "tests/support/recording_ui_sink.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

using namespace std::chrono_literals;
using test::ScriptedFtpServer;
using Script = ScriptedFtpServer::Script;
using Commands = std::vector<std::string>;

// Generous waits for dialogues that should succeed; short ones where a wait is
// meant to expire.
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
    settings_ = {"cam", "secret", "acct", "", "snap.jpg", ""};
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
    std::regex pattern("FTP snap\\.jpg to " +
                       std::regex_replace(settings_.server, std::regex("\\."), "\\.") +
                       " - [0-9]+ secs from [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} "
                       "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
    return std::regex_match(line, pattern);
  }

  std::shared_ptr<AppState> state_ = MakeAppState();
  std::shared_ptr<test::RecordingUiSink> sink_ = std::make_shared<test::RecordingUiSink>();
  test::Sandbox sandbox_;
  std::string path_ = (sandbox_ / "snvs1.tmp").string();
  FtpSettings settings_;
};

// Commands without the PORT arguments (the port differs on every run).
Commands WithoutPortNumbers(Commands commands) {
  for (auto& c : commands)
    if (c.rfind("PORT ", 0) == 0) c = "PORT";
  return commands;
}

TEST_F(FtpUploadTest, StoresUnderTheTemporaryNameAndRenamesIntoPlace) {
  settings_.dir = "pics/cam1";
  ScriptedFtpServer server({});
  std::string line = Upload(server);
  EXPECT_TRUE(Succeeded(line)) << line;
  EXPECT_EQ(
      WithoutPortNumbers(server.commands()),
      (Commands{"USER cam", "PASS secret", "CWD pics/cam1", "TYPE I", "PORT",
                "STOR snap.jpg.svtemp", "NOOP", "RNFR snap.jpg.svtemp", "RNTO snap.jpg", "QUIT"}));
  EXPECT_EQ(server.received(), Picture());
  // The announced address is the one the server sees the client at.
  EXPECT_EQ(server.announced(), server.controlPeer());
  // Progress of the data connection: the total first, 0 last.
  auto progress = sink_->Progress();
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front().second, 1300);
  EXPECT_EQ(progress.back().second, 0);
}

TEST_F(FtpUploadTest, EmptyDirectorySendsNoCwd) {
  ScriptedFtpServer server({});
  EXPECT_TRUE(Succeeded(Upload(server)));
  EXPECT_EQ(server.CountOf("CWD"), 0);
}

TEST_F(FtpUploadTest, DottedAddressWithoutReverseNameIsUsedAsGiven) {
  Script script;
  script.address = "127.0.0.77";  // no host entry names it
  ScriptedFtpServer server(script);
  EXPECT_TRUE(Succeeded(Upload(server)));
  EXPECT_EQ(server.received(), Picture());
}

TEST_F(FtpUploadTest, GreetingsThatAreAccepted) {
  for (const char* greeting :
       {"120 wait a moment\r\n220 ready now\r\n",
        "220-Welcome\r\n220-to the server\r\n220 ready\r\n", "220-one line\r\n220 \r\n"}) {
    Script script;
    script.greeting = greeting;
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Succeeded(Upload(server))) << greeting;
    EXPECT_EQ(server.commands().front(), "USER cam") << greeting;
  }
}

TEST_F(FtpUploadTest, GreetingsThatFailBeforeLogIn) {
  for (const std::string& greeting :
       {std::string("421 too many users\r\n"), std::string("530 go away\r\n"),
        std::string("120 wait\r\n421 gave up\r\n"),
        // Continuation lines beginning with a space end the reply with no code.
        std::string("220-Welcome\r\n to the server\r\n220 ready\r\n"),
        // A line longer than the reply buffer.
        "220 " + std::string(2000, 'x') + "\r\n", std::string("hello\r\n")}) {
    Script script;
    script.greeting = greeting;
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Failed(Upload(server))) << greeting.substr(0, 40);
    EXPECT_TRUE(server.commands().empty()) << greeting.substr(0, 40);  // not even QUIT
  }
}

TEST_F(FtpUploadTest, LogInByReplyClass) {
  {  // USER alone is enough: neither PASS nor ACCT goes out.
    Script script;
    script.replies["USER"] = {"230 welcome\r\n"};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Succeeded(Upload(server)));
    EXPECT_EQ(server.CountOf("PASS"), 0);
    EXPECT_EQ(server.CountOf("ACCT"), 0);
  }
  {  // 331 then 332: the account is sent.
    Script script;
    script.replies["PASS"] = {"332 need account\r\n"};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Succeeded(Upload(server)));
    EXPECT_EQ(server.commands()[2], "ACCT acct");
  }
  {  // A refused password: no further command, no QUIT.
    Script script;
    script.replies["PASS"] = {"530 login incorrect\r\n"};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Failed(Upload(server)));
    EXPECT_EQ(server.commands(), (Commands{"USER cam", "PASS secret"}));
  }
  {  // A refused directory.
    settings_.dir = "missing";
    Script script;
    script.replies["CWD"] = {"550 no such directory\r\n"};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Failed(Upload(server)));
    EXPECT_EQ(server.commands().back(), "CWD missing");
  }
}

TEST_F(FtpUploadTest, RenameRepeatsAfter450) {
  {
    Script script;
    script.replies["RNFR"] = {"450 busy\r\n", "450 busy\r\n", "350 go on\r\n"};
    script.replies["RNTO"] = {"450 busy\r\n", "250 done\r\n"};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Succeeded(Upload(server)));
    EXPECT_EQ(server.CountOf("RNFR snap.jpg.svtemp"), 3);
    EXPECT_EQ(server.CountOf("RNTO snap.jpg"), 2);
  }
  {  // A server that stays busy is given up on after the bounded repeats.
    Script script;
    script.replies["RNFR"] = std::deque<std::string>(50, "450 busy\r\n");
    ScriptedFtpServer server(script);
    FtpLimits limits = kPatient;
    limits.maxRenameRepeats = 4;
    EXPECT_TRUE(Failed(Upload(server, limits)));
    EXPECT_EQ(server.CountOf("RNFR"), 5);
    EXPECT_EQ(server.CountOf("RNTO"), 0);
    EXPECT_EQ(server.commands().back(), "QUIT");  // TYPE had succeeded
  }
  {  // Any other refusal of RNFR fails at once.
    Script script;
    script.replies["RNFR"] = {"550 no such file\r\n"};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Failed(Upload(server)));
    EXPECT_EQ(server.CountOf("RNFR"), 1);
  }
}

TEST_F(FtpUploadTest, StoreOutcomeIsTakenFromItsCompletionReply) {
  {  // The transfer fails on the server's side after the data connection.
    Script script;
    script.replies["STOR-DONE"] = {"451 disk full\r\n"};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Failed(Upload(server)));
    EXPECT_EQ(server.CountOf("RNFR"), 0);
  }
  {  // The rename is refused: reported, not taken for a success.
    Script script;
    script.replies["RNTO"] = {"553 not allowed\r\n"};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Failed(Upload(server)));
  }
  {  // A server that answers STOR with its completion at once.
    Script script;
    script.replies["STOR"] = {"250 stored\r\n"};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Succeeded(Upload(server)));
    EXPECT_EQ(server.received(), Picture());
  }
  {  // STOR refused outright: no data connection is waited for.
    Script script;
    script.replies["STOR"] = {"553 bad name\r\n"};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Failed(Upload(server)));
    EXPECT_EQ(server.commands().back(), "QUIT");
  }
}

TEST_F(FtpUploadTest, ServersThatStopTalking) {
  {
    Script script;
    script.closeAfterGreeting = true;
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Failed(Upload(server, kImpatient)));
  }
  {  // Never connects back: the data wait expires, QUIT still goes out.
    Script script;
    script.connectBack = false;
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Failed(Upload(server, kImpatient)));
    EXPECT_EQ(
        WithoutPortNumbers(server.commands()),
        (Commands{"USER cam", "PASS secret", "TYPE I", "PORT", "STOR snap.jpg.svtemp", "QUIT"}));
  }
  {  // A login reply that never comes.
    Script script;
    script.replies["USER"] = {""};
    ScriptedFtpServer server(script);
    EXPECT_TRUE(Failed(Upload(server, kImpatient)));
    EXPECT_EQ(server.commands(), (Commands{"USER cam"}));
  }
}

TEST_F(FtpUploadTest, SilentServerFailsWithTheStartTime) {
  Script script;
  script.silent = true;
  ScriptedFtpServer server(script);
  FtpLimits limits = kImpatient;
  limits.replyTimeout = 2500ms;  // long enough that the end is in a later second
  std::time_t before = std::time(nullptr);
  std::string line = Upload(server, limits);
  std::time_t after = std::time(nullptr);
  ASSERT_TRUE(Failed(line)) << line;
  std::string when = line.substr(line.size() - 24);
  EXPECT_TRUE(when == TimeText(LocalTime(before)) || when == TimeText(LocalTime(before + 1)));
  EXPECT_NE(when, TimeText(LocalTime(after)));
  EXPECT_TRUE(server.commands().empty());
}

TEST_F(FtpUploadTest, DataConnectionOnlyFromTheServer) {
  Script script;
  script.strangerFirst = true;
  ScriptedFtpServer server(script);
  EXPECT_TRUE(Succeeded(Upload(server)));
  EXPECT_FALSE(server.strangerGotData());
  EXPECT_EQ(server.received(), Picture());
}

TEST_F(FtpUploadTest, BadServerTextsFailWithoutConnecting) {
  ScriptedFtpServer server({});
  for (std::string text :
       {server.server() + "0000", std::string("127.0.0.1:"), std::string("127.0.0.1:0"),
        std::string("127.0.0.1:70000"), std::string(":21"), std::string("127.0.0.1:2x1"),
        std::string("no-such-host.invalid")}) {
    settings_.server = text;
    EXPECT_TRUE(Failed(RunFtpUpload(*state_, path_.c_str(), settings_, kImpatient))) << text;
  }
  server.Finish();
  EXPECT_TRUE(server.commands().empty());
}

// Line breaks in any field would smuggle commands; each is refused at the command
// that would carry it, and nothing else reaches the server.
TEST_F(FtpUploadTest, LineBreaksInFieldsNeverReachTheServer) {
  std::string FtpSettings::*fields[] = {&FtpSettings::user, &FtpSettings::pass,
                                        &FtpSettings::account, &FtpSettings::dir,
                                        &FtpSettings::file};
  const std::set<std::string> verbs = {"USER", "PASS", "ACCT", "CWD",  "TYPE", "PORT",
                                       "STOR", "NOOP", "RNFR", "RNTO", "QUIT"};
  for (auto field : fields) {
    for (const char* evil : {"x\r\nDELE victim", "x\nDELE victim", "x\rDELE victim"}) {
      settings_ = {"cam", "secret", "acct", "", "snap.jpg", "pics"};
      settings_.*field = evil;
      Script script;
      script.replies["PASS"] = {"332 account please\r\n"};  // so ACCT is asked for
      ScriptedFtpServer server(script);
      EXPECT_TRUE(Failed(Upload(server))) << evil;
      for (const auto& c : server.commands()) {
        EXPECT_EQ(c.find("DELE"), std::string::npos) << c;
        EXPECT_TRUE(verbs.count(c.substr(0, c.find(' ')))) << c;
      }
      EXPECT_EQ(server.received(), "");
      EXPECT_EQ(FtpSettingsProblem(settings_).empty(), false);
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
      EXPECT_NE(problem.find(name), std::string::npos) << problem;
      EXPECT_NE(problem.find("line break"), std::string::npos) << problem;
    }
  }
  FtpSettings accented = clean;
  accented.pass = "caf\xc3\xa9";
  EXPECT_NE(FtpSettingsProblem(accented).find("password"), std::string::npos);
  accented.pass = "\x7f~";
  EXPECT_EQ(FtpSettingsProblem(accented), "");
  accented.user = "caf\xc3\xa9";  // only the password is restricted to ASCII
  EXPECT_EQ(FtpSettingsProblem(accented), "");
}

TEST(FtpSettingsText, CopyAndApplyKeepTheFieldSizes) {
  auto state = MakeAppState();
  FtpSettings s{std::string(100, 'u'), std::string(100, 'p'), std::string(100, 'a'),
                std::string(300, 's'), std::string(300, 'f'), std::string(300, 'd')};
  ApplyFtpSettings(*state, s);
  FtpSettings copy = CopyFtpSettings(*state);
  EXPECT_EQ(copy.user, std::string(63, 'u'));
  EXPECT_EQ(copy.pass, std::string(63, 'p'));
  EXPECT_EQ(copy.account, std::string(63, 'a'));
  EXPECT_EQ(copy.server, std::string(259, 's'));
  EXPECT_EQ(copy.file, std::string(259, 'f'));
  EXPECT_EQ(copy.dir, std::string(259, 'd'));
  // The worker's copy stays as it was when the settings change afterwards.
  ApplyFtpSettings(*state, FtpSettings{"new", "", "", "", "", ""});
  EXPECT_EQ(copy.user, std::string(63, 'u'));
  EXPECT_EQ(CopyFtpSettings(*state).user, "new");
}

}  // namespace
}  // namespace snapvane
