#include "settings/settings_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "app/app_state.h"
#include "capture/caption_style.h"
#include "tests/support/fake_main_window.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using test::FakeMainWindow;
using test::ReadFile;
using test::Sandbox;
using test::WriteFile;

// Runs fn under a file size limit of `bytes`: a full disk, which binds root too
// (permission bits do not, and the tests run as root).
template <class Fn>
auto WithFileSizeLimit(rlim_t bytes, Fn fn) {
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &small);
  auto result = fn();
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  return result;
}

const std::string kHead = "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n";

// Each test gets its own config home; the variable is put back afterwards.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("XDG_CONFIG_HOME");
    hadXdg_ = old != nullptr;
    if (old) oldXdg_ = old;
    setenv("XDG_CONFIG_HOME", box_.path().c_str(), 1);
    file_ = box_ / "tolmar" / "Snapvane.reg";
  }
  void TearDown() override {
    if (hadXdg_)
      setenv("XDG_CONFIG_HOME", oldXdg_.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
  }

  std::shared_ptr<AppState> Loaded() {
    auto s = MakeAppState();
    LoadSettings(*s);
    return s;
  }
  void WriteSettings(const std::string& values) {
    fs::create_directories(file_.parent_path());
    WriteFile(file_, kHead + values);
  }
  RegStore Stored() { return RegStore::Load(file_); }
  uint32_t StoredDword(std::string_view name) { return ReadDwordSetting(Stored(), name, 0xDEAD); }
  std::string StoredText(std::string_view name) {
    char buf[300];
    size_t n = ReadStringSetting(Stored(), name, buf, sizeof buf, "<absent>");
    return std::string(buf, n);
  }

  Sandbox box_;
  fs::path file_;
  bool hadXdg_ = false;
  std::string oldXdg_;
};

void ExpectDefaultCaption(const CaptionStyle& c) {
  LogFont stock = DefaultCaptionFont();
  EXPECT_STREQ(c.text, "%c");
  EXPECT_EQ(c.valign, 2);
  EXPECT_EQ(c.halign, 1);
  EXPECT_EQ(c.transparent, 0);
  EXPECT_EQ(c.foreground, 0xFFFFFFu);
  EXPECT_EQ(c.background, 0u);
  EXPECT_EQ(std::memcmp(&c.font, &stock, sizeof stock), 0);
  EXPECT_EQ(c.workingCopy, nullptr);
}

TEST_F(Settings, FirstStartWithoutAFileGivesEveryDefault) {
  auto s = Loaded();
  EXPECT_EQ(s->interval, 0);
  EXPECT_EQ(s->saveFile, 0);
  EXPECT_STREQ(s->fileName, "cam.jpg");
  EXPECT_EQ(s->http, 0);
  EXPECT_EQ(s->httpPort, 80);
  EXPECT_EQ(s->httpRefresh, 0);
  EXPECT_EQ(s->ftp, 0);
  EXPECT_STREQ(s->ftpUser, "");
  EXPECT_STREQ(s->ftpPass, "");
  EXPECT_STREQ(s->ftpAccount, "");
  EXPECT_STREQ(s->ftpServer, "");
  EXPECT_STREQ(s->ftpFile, "cam.jpg");
  EXPECT_STREQ(s->ftpDir, "");
  EXPECT_EQ(s->caption, 0);
  ASSERT_TRUE(s->captionStyle);
  ExpectDefaultCaption(*s->captionStyle);
  EXPECT_EQ(s->quality, 50);
  EXPECT_FALSE(fs::exists(file_));  // nothing is written until closing

  // Closing with everything off creates the folder and stores only the switches.
  SaveSettings(*s);
  RegStore stored = Stored();
  EXPECT_FALSE(stored.damaged());
  std::vector<std::string> names;
  for (const RegValue& v : stored.values()) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"interval", "saveFile", "http", "ftp", "caption",
                                             "quality"}));
}

TEST_F(Settings, EveryValueRoundTrips) {
  FakeMainWindow window;
  window.SetChecked(kEnableFtpCheckBoxId, true);
  auto s = MakeAppState();
  s->mainWindow = &window;
  s->interval = -5;  // no range checks: stored and loaded as they are
  s->saveFile = 1;
  std::strcpy(s->fileName, "/srv/www/caf\xC3\xA9 \"cam\" \\ 1.jpg");
  s->http = 1;
  s->httpPort = 8080;
  s->httpRefresh = 15;
  std::strcpy(s->ftpUser, "webcam");
  std::strcpy(s->ftpPass, "s3cr=t \"pw\"");
  std::strcpy(s->ftpAccount, "acct");
  std::strcpy(s->ftpServer, "ftp.example.org");
  std::strcpy(s->ftpFile, "snap.jpg");
  std::strcpy(s->ftpDir, "/pub/cam");
  s->caption = 1;
  s->captionStyle = MakeLoadedDefaultCaptionStyle();
  CaptionStyle& c = *s->captionStyle;
  std::strcpy(c.text, "%A %d %B %Y, %H:%M");
  c.valign = 0;
  c.halign = 2;
  c.transparent = 1;
  c.font.lfHeight = -20;
  c.font.lfWeight = 700;
  c.font.lfItalic = 1;
  std::strcpy(c.font.lfFaceName, "DejaVu Serif");
  c.foreground = 0x0000FF;
  c.background = 0x123456;
  s->quality = 500;
  SaveSettings(*s);
  EXPECT_STREQ(s->ftpPass, "s3cr=t \"pw\"");  // the live password stays clear
  EXPECT_EQ(s->ftp, 1);

  RegStore stored = Stored();
  EXPECT_FALSE(stored.damaged());
  EXPECT_EQ(stored.values().size(), 22u);
  EXPECT_EQ(stored.Query("fileName")->type, kRegSz);
  EXPECT_EQ(stored.Query("captionFont")->type, kRegBinary);
  EXPECT_EQ(stored.Query("captionFont")->data.size(), 60u);
  EXPECT_EQ(StoredDword("interval"), 0xFFFFFFFBu);
  EXPECT_EQ(StoredText("ftpUser"), "webcam");
  EXPECT_NE(StoredText("ftpPass"), "s3cr=t \"pw\"");

  auto t = Loaded();
  EXPECT_EQ(t->interval, -5);
  EXPECT_EQ(t->saveFile, 1);
  EXPECT_STREQ(t->fileName, s->fileName);
  EXPECT_EQ(t->http, 1);
  EXPECT_EQ(t->httpPort, 8080);
  EXPECT_EQ(t->httpRefresh, 15);
  EXPECT_EQ(t->ftp, 1);
  EXPECT_STREQ(t->ftpUser, "webcam");
  EXPECT_STREQ(t->ftpPass, "s3cr=t \"pw\"");
  EXPECT_STREQ(t->ftpAccount, "acct");
  EXPECT_STREQ(t->ftpServer, "ftp.example.org");
  EXPECT_STREQ(t->ftpFile, "snap.jpg");
  EXPECT_STREQ(t->ftpDir, "/pub/cam");
  EXPECT_EQ(t->caption, 1);
  ASSERT_TRUE(t->captionStyle);
  EXPECT_STREQ(t->captionStyle->text, c.text);
  EXPECT_EQ(t->captionStyle->valign, 0);
  EXPECT_EQ(t->captionStyle->halign, 2);
  EXPECT_EQ(t->captionStyle->transparent, 1);
  EXPECT_EQ(std::memcmp(&t->captionStyle->font, &c.font, sizeof c.font), 0);
  EXPECT_EQ(t->captionStyle->foreground, 0x0000FFu);
  EXPECT_EQ(t->captionStyle->background, 0x123456u);
  EXPECT_EQ(t->quality, 500);
}

TEST_F(Settings, TextsFillTheirFieldsExactlyAndNoFurther) {
  auto s = MakeAppState();
  s->saveFile = 1;
  s->ftp = 1;
  // 259 bytes (the most a path field holds), ending in a two-byte character.
  std::string path = std::string(257, 'p') + "\xC3\xA9";
  std::memcpy(s->fileName, path.data(), path.size() + 1);
  std::string user(63, 'u');
  std::memcpy(s->ftpUser, user.data(), 64);
  std::string pass(63, 'P');
  std::memcpy(s->ftpPass, pass.data(), 64);
  SaveSettings(*s);
  auto t = Loaded();
  EXPECT_EQ(t->fileName, path);
  EXPECT_EQ(t->ftpUser, user);
  EXPECT_EQ(t->ftpPass, pass);

  // One byte more than a field holds: the default, never a cut text.
  WriteSettings("\"fileName\"=\"" + std::string(260, 'f') + "\"\n\"ftpUser\"=\"" +
                std::string(64, 'u') + "\"\n\"captionText\"=\"" + std::string(254, 'c') +
                "\xC3\xA9\"\n");
  t = Loaded();
  EXPECT_STREQ(t->fileName, "cam.jpg");
  EXPECT_STREQ(t->ftpUser, "");
  EXPECT_STREQ(t->captionStyle->text, "%c");
  WriteSettings("\"captionText\"=\"" + std::string(253, 'c') + "\xC3\xA9\"\n");
  EXPECT_EQ(Loaded()->captionStyle->text, std::string(253, 'c') + "\xC3\xA9");
}

TEST_F(Settings, UnusableValuesFallBackToTheirDefaults) {
  std::string shortFont = "hex:";
  for (int i = 0; i < 20; ++i) shortFont += (i ? ",7f" : "7f");
  std::string longFont = shortFont;
  for (int i = 20; i < 61; ++i) longFont += ",7f";
  std::string typedFont = "hex(4):";
  for (int i = 0; i < 60; ++i) typedFont += (i ? ",41" : "41");
  WriteSettings("\"fileName\"=\"" + std::string(300, 'x') + "\"\n" +
                "\"ftpFile\"=hex(2):61,2e,6a,70,67,00\n"        // REG_EXPAND_SZ
                "\"interval\"=\"10\"\n"                         // a string
                "\"quality\"=hex(4):4b,00,00,00,00,00,00,00\n"  // eight bytes
                "\"httpRefresh\"=hex:05,00,00,00\n"             // binary, not a dword
                "\"ftpServer\"=hex(1):66,74,70\n"               // text without its NUL
                "\"ftpDir\"=hex(1):2f,64,00,78,00\n"            // a zero inside
                "\"captionFont\"=" +
                shortFont + "\n");
  auto s = Loaded();
  EXPECT_STREQ(s->fileName, "cam.jpg");
  EXPECT_STREQ(s->ftpFile, "cam.jpg");
  EXPECT_EQ(s->interval, 0);
  EXPECT_EQ(s->quality, 50);
  EXPECT_EQ(s->httpRefresh, 0);
  EXPECT_STREQ(s->ftpServer, "ftp");  // terminated within its field
  EXPECT_STREQ(s->ftpDir, "/d");
  ExpectDefaultCaption(*s->captionStyle);

  WriteSettings("\"captionFont\"=" + longFont + "\n\"ftpServer\"=hex(1):" + [] {
    std::string h = "61";
    for (int i = 1; i < 260; ++i) h += ",61";
    return h;
  }() + "\n");
  s = Loaded();
  ExpectDefaultCaption(*s->captionStyle);
  EXPECT_STREQ(s->ftpServer, "");  // 260 bytes and no terminator do not fit 260

  WriteSettings("\"captionFont\"=" + typedFont + "\n");
  ExpectDefaultCaption(*Loaded()->captionStyle);

  // A whole record is taken; a face name filling all 32 bytes is ended on a character.
  std::string face = "hex:";
  for (int i = 0; i < 28; ++i) face += (i ? ",00" : "00");
  for (int i = 0; i < 30; ++i) face += ",61";
  face += ",c3,a9";
  WriteSettings("\"captionFont\"=" + face + "\n");
  s = Loaded();
  EXPECT_EQ(s->captionStyle->font.lfHeight, 0);
  EXPECT_EQ(std::string(s->captionStyle->font.lfFaceName), std::string(30, 'a'));
}

TEST_F(Settings, HttpPortIsStoredSignExtendedAndReadAsSixteenBits) {
  auto s = MakeAppState();
  s->http = 1;
  s->httpPort = 40000;
  SaveSettings(*s);
  EXPECT_EQ(StoredDword("httpPort"), 0xFFFF9C40u);
  EXPECT_NE(ReadFile(file_).find("\"httpPort\"=dword:ffff9c40\n"), std::string::npos);
  EXPECT_EQ(Loaded()->httpPort, 40000);

  WriteSettings("\"httpPort\"=dword:00019c40\n");
  EXPECT_EQ(Loaded()->httpPort, 40000);
  WriteSettings("\"httpPort\"=dword:00007fff\n");
  EXPECT_EQ(Loaded()->httpPort, 32767);
}

TEST_F(Settings, SwitchedOffGroupsKeepWhatTheFileHeld) {
  WriteSettings(
      "\"saveFile\"=dword:00000000\n\"fileName\"=\"kept.jpg\"\n"
      "\"http\"=dword:00000001\n\"httpPort\"=dword:00001f90\n\"httpRefresh\"=dword:00000009\n"
      "\"ftp\"=dword:00000001\n\"ftpUser\"=\"u\"\n\"ftpServer\"=\"old.example\"\n"
      "\"caption\"=dword:00000001\n\"captionText\"=\"old %c\"\n\"captionValign\"=dword:00000000\n");
  FakeMainWindow window;
  auto s = Loaded();
  s->mainWindow = &window;
  // "Save File" ticked and a new name typed, but no capture since: AppState still
  // holds the switch and name as loaded, and that is what is stored.
  window.SetChecked(1005, true);
  window.SetText(1006, "typed.jpg");
  // Everything else switched off, with its values changed in memory.
  s->http = 0;
  s->httpPort = 1234;
  s->caption = 0;
  std::strcpy(s->captionStyle->text, "new");
  std::strcpy(s->ftpServer, "new.example");
  window.SetChecked(kEnableFtpCheckBoxId, false);
  SaveSettings(*s);

  EXPECT_EQ(s->ftp, 0);
  EXPECT_EQ(StoredDword("saveFile"), 0u);
  EXPECT_EQ(StoredText("fileName"), "kept.jpg");
  EXPECT_EQ(StoredDword("http"), 0u);
  EXPECT_EQ(StoredDword("httpPort"), 8080u);
  EXPECT_EQ(StoredDword("httpRefresh"), 9u);
  EXPECT_EQ(StoredDword("ftp"), 0u);
  EXPECT_EQ(StoredText("ftpServer"), "old.example");
  EXPECT_EQ(StoredText("ftpPass"), "<absent>");
  EXPECT_EQ(StoredDword("caption"), 0u);
  EXPECT_EQ(StoredText("captionText"), "old %c");
  EXPECT_EQ(StoredDword("captionValign"), 0u);

  // The next start still loads the switched-off groups.
  auto t = Loaded();
  EXPECT_EQ(t->ftp, 0);
  EXPECT_STREQ(t->ftpServer, "old.example");
  EXPECT_EQ(t->httpPort, 8080);
  EXPECT_STREQ(t->captionStyle->text, "old %c");

  // Without a window (already gone), the switch is taken as AppState holds it.
  t->ftp = 1;
  std::strcpy(t->ftpServer, "third.example");
  SaveSettings(*t);
  EXPECT_EQ(StoredDword("ftp"), 1u);
  EXPECT_EQ(StoredText("ftpServer"), "third.example");

  // The name as at the last capture (AppState) is stored when the switch is on.
  t->saveFile = 1;
  std::strcpy(t->fileName, "captured.jpg");
  SaveSettings(*t);
  EXPECT_EQ(StoredText("fileName"), "captured.jpg");
}

// The keystream of the scrambling, computed independently: the classic rand()
// generator seeded with the user name's signed byte sum plus the fixed offset.
std::string KeyStream(std::string_view user, size_t n) {
  int32_t seed = static_cast<int32_t>(kPasswordSeedOffset);
  for (char c : user) seed += static_cast<signed char>(c);
  uint32_t state = static_cast<uint32_t>(seed);
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    state = state * 214013u + 2531011u;
    out.push_back(static_cast<char>(((state >> 16) & 0x7FFF) & 0x7F));
  }
  return out;
}

TEST_F(Settings, PasswordScramblingIsTheKeyedGeneratorAndItsOwnInverse) {
  for (const std::string& user :
       std::vector<std::string>{"", "webcam", "caf\xC3\xA9", std::string(63, '\xFF')}) {
    std::string key = KeyStream(user, 40);
    std::string pass = "The quick brown fox jumps over 13 dogs!";
    std::string stored = ScrambledPassword(user, pass);
    ASSERT_EQ(stored.size(), pass.size());
    for (size_t i = 0; i < pass.size(); ++i)
      EXPECT_EQ(stored[i], static_cast<char>((pass[i] ^ key[i]) & 0x7F)) << user << " " << i;
    EXPECT_EQ(ScrambledPassword(user, stored), pass);
    EXPECT_EQ(ScrambledPassword(user, pass), stored);  // depends on user and password only
  }
  EXPECT_NE(ScrambledPassword("a", "password"), ScrambledPassword("b", "password"));

  EXPECT_TRUE(PasswordStorable(""));
  EXPECT_TRUE(PasswordStorable("plain ASCII ~!\x7F"));
  EXPECT_FALSE(PasswordStorable("caf\xC3\xA9"));
  EXPECT_FALSE(PasswordStorable(std::string("a\0b", 3)));
}

TEST_F(Settings, PasswordAndUserRoundTripAndEditingTheUserGarblesIt) {
  FakeMainWindow window;
  window.SetChecked(kEnableFtpCheckBoxId, true);
  auto s = MakeAppState();
  s->mainWindow = &window;
  std::strcpy(s->ftpUser, "webcam");
  std::strcpy(s->ftpPass, "hunter2");
  SaveSettings(*s);
  EXPECT_EQ(StoredText("ftpPass"), ScrambledPassword("webcam", "hunter2"));
  auto t = Loaded();
  EXPECT_STREQ(t->ftpUser, "webcam");
  EXPECT_STREQ(t->ftpPass, "hunter2");

  std::string text = ReadFile(file_);
  size_t at = text.find("\"ftpUser\"=\"webcam\"");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 18, "\"ftpUser\"=\"webcan\"");
  WriteFile(file_, text);
  t = Loaded();
  EXPECT_STREQ(t->ftpUser, "webcan");
  EXPECT_STRNE(t->ftpPass, "hunter2");

  // An empty password is stored as an empty text.
  s->ftpPass[0] = '\0';
  SaveSettings(*s);
  EXPECT_NE(ReadFile(file_).find("\"ftpPass\"=\"\"\n"), std::string::npos);
  EXPECT_STREQ(Loaded()->ftpPass, "");
}

TEST_F(Settings, APasswordWhoseStoredFormHoldsZerosComesBackWhole) {
  // Characters equal to the keystream scramble to zero: at the start, inside and
  // at the end, where the stored terminator follows a stored zero.
  const std::string user = "camera";
  std::string key = KeyStream(user, 12);
  std::string pass = "abcdefghijkl";
  for (size_t i : {0u, 5u, 11u}) {
    ASSERT_NE(key[i], 0) << "pick another user name";
    pass[i] = key[i];
  }
  std::string stored = ScrambledPassword(user, pass);
  ASSERT_EQ(stored[0], '\0');
  ASSERT_EQ(stored[5], '\0');
  ASSERT_EQ(stored[11], '\0');

  auto s = MakeAppState();
  s->ftp = 1;
  std::strcpy(s->ftpUser, user.c_str());
  std::memcpy(s->ftpPass, pass.data(), pass.size() + 1);
  SaveSettings(*s);
  EXPECT_EQ(s->ftpPass, pass);
  RegStore file = Stored();
  const RegValue* v = file.Query("ftpPass");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, kRegSz);
  EXPECT_EQ(std::string(v->data.begin(), v->data.end()), stored + '\0');
  EXPECT_EQ(Loaded()->ftpPass, pass);
}

TEST_F(Settings, ADamagedFileNeverStopsLoadingAndIsKeptAtTheNextSave) {
  auto s = MakeAppState();
  s->interval = 30;
  s->saveFile = 1;
  std::strcpy(s->fileName, "out.jpg");
  s->http = 1;
  s->httpPort = 8000;
  s->ftp = 1;
  std::strcpy(s->ftpServer, "ftp.example.org");
  s->quality = 90;
  SaveSettings(*s);

  // Cut in the middle of the server name: what comes before is used.
  std::string whole = ReadFile(file_);
  size_t cut = whole.find("ftp.example") + 5;
  std::string part = whole.substr(0, cut);
  WriteFile(file_, part);
  auto t = Loaded();
  EXPECT_EQ(t->interval, 30);
  EXPECT_STREQ(t->fileName, "out.jpg");
  EXPECT_EQ(t->httpPort, 8000);
  EXPECT_EQ(t->ftp, 1);
  EXPECT_STREQ(t->ftpServer, "");
  EXPECT_EQ(t->quality, 50);
  ExpectDefaultCaption(*t->captionStyle);

  SaveSettings(*t);
  EXPECT_EQ(ReadFile(file_.string() + ".bad"), part);
  EXPECT_FALSE(Stored().damaged());
  EXPECT_EQ(StoredDword("interval"), 30u);
  EXPECT_EQ(StoredDword("quality"), 50u);

  // Not a settings file at all.
  WriteFile(file_, std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
  t = Loaded();
  EXPECT_EQ(t->quality, 50);
  EXPECT_STREQ(t->fileName, "cam.jpg");
  SaveSettings(*t);
  EXPECT_EQ(ReadFile(file_.string() + ".bad").substr(0, 4), "\x89PNG");
  EXPECT_FALSE(Stored().damaged());
}

TEST_F(Settings, ASaveThatCannotBeWrittenKeepsTheOldFile) {
  auto s = MakeAppState();
  s->interval = 12;
  SaveSettings(*s);
  const std::string old = ReadFile(file_);

  // The disk fills up while saving.
  s->interval = 99;
  s->caption = 1;
  s->captionStyle = MakeLoadedDefaultCaptionStyle();
  WithFileSizeLimit(100, [&] {
    SaveSettings(*s);
    return 0;
  });
  EXPECT_EQ(ReadFile(file_), old);
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(file_.parent_path())) files += e.exists();
  EXPECT_EQ(files, 1u);
  EXPECT_EQ(Loaded()->interval, 12);

  // The folder cannot be made (a regular file is in its place): silently nothing.
  WriteFile(box_ / "plainfile", "x");
  setenv("XDG_CONFIG_HOME", (box_ / "plainfile").c_str(), 1);
  SaveSettings(*s);
  auto t = Loaded();
  EXPECT_EQ(t->interval, 0);
  EXPECT_EQ(ReadFile(box_ / "plainfile"), "x");
}

}  // namespace
}  // namespace snapvane
