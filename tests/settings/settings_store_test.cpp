#include "settings/settings_store.h"

#include <gtest/gtest.h>

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
using test::ReadFile;
using test::WriteFile;

const std::string kHead = "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n";

// Each test gets its own config home.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", box_.path().c_str(), 1);
    file_ = box_ / "tolmar" / "Snapvane.reg";
  }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }
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
    return std::string(buf, ReadStringSetting(Stored(), name, buf, sizeof buf, "<absent>"));
  }

  test::Sandbox box_;
  fs::path file_;
};

void ExpectDefaultCaption(const CaptionStyle& c) {
  LogFont stock = DefaultCaptionFont();
  EXPECT_STREQ(c.text, "%c");
  EXPECT_EQ(c.valign * 10 + c.halign, 21);
  EXPECT_EQ(c.transparent + c.background, 0u);
  EXPECT_EQ(c.foreground, 0xFFFFFFu);
  EXPECT_EQ(std::memcmp(&c.font, &stock, sizeof stock), 0);
}

std::string Hex(int n, const char* byte) {
  std::string h = "hex:";
  for (int i = 0; i < n; ++i) h += std::string(i ? "," : "") + byte;
  return h;
}

TEST_F(Settings, FirstStartWithoutAFileGivesEveryDefault) {
  auto s = Loaded();
  EXPECT_EQ(s->interval + s->saveFile + s->http + s->httpRefresh + s->ftp + s->caption, 0);
  EXPECT_EQ(s->httpPort, 80);
  EXPECT_EQ(std::string(s->fileName) + s->ftpFile + s->ftpUser + s->ftpPass + s->ftpAccount +
                s->ftpServer + s->ftpDir,
            "cam.jpgcam.jpg");
  ExpectDefaultCaption(*s->captionStyle);
  EXPECT_EQ(s->quality, 50);
  EXPECT_FALSE(fs::exists(file_));

  // Closing with everything off creates the folder and stores only the switches.
  SaveSettings(*s);
  EXPECT_EQ(Stored().values().size(), 6u);
  EXPECT_EQ(StoredText("fileName"), "<absent>");
}

TEST_F(Settings, EveryValueRoundTrips) {
  test::FakeMainWindow window;
  window.SetChecked(kEnableFtpCheckBoxId, true);
  auto s = MakeAppState();
  s->mainWindow = &window;
  s->interval = -5;
  s->saveFile = s->http = s->caption = 1;
  s->httpPort = 8080;
  s->httpRefresh = 15;
  s->quality = 500;
  s->captionStyle = MakeLoadedDefaultCaptionStyle();
  auto texts = [](AppState& a) {
    return std::vector<char*>{a.fileName,  a.ftpUser, a.ftpPass, a.ftpAccount,
                              a.ftpServer, a.ftpFile, a.ftpDir,  a.captionStyle->text};
  };
  const std::vector<std::string> values = {
      "/srv/www/caf\xC3\xA9 \"cam\" \\ 1.jpg", "webcam", "s3cr=t \"pw\"", "acct",
      "ftp.example.org", "snap.jpg", "/pub/cam", "%A %d %B %Y, %H:%M"};
  for (size_t i = 0; i < values.size(); ++i) std::strcpy(texts(*s)[i], values[i].c_str());
  CaptionStyle& c = *s->captionStyle;
  c.valign = 0;
  c.halign = 2;
  c.transparent = 1;
  c.font.lfHeight = -20;
  std::strcpy(c.font.lfFaceName, "DejaVu Serif");
  c.foreground = 0x0000FF;
  c.background = 0x123456;
  SaveSettings(*s);
  EXPECT_STREQ(s->ftpPass, "s3cr=t \"pw\"");  // the live password stays clear
  EXPECT_EQ(Stored().values().size(), 22u);
  EXPECT_EQ(StoredDword("interval"), 0xFFFFFFFBu);

  auto t = Loaded();
  EXPECT_EQ(t->interval, -5);
  EXPECT_EQ(t->saveFile + t->http + t->ftp + t->caption, 4);
  EXPECT_EQ(t->httpPort, 8080);
  EXPECT_EQ(t->httpRefresh, 15);
  EXPECT_EQ(t->quality, 500);
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(texts(*t)[i], values[i]);
  const CaptionStyle& u = *t->captionStyle;
  EXPECT_EQ(u.valign * 100 + u.halign * 10 + u.transparent, 21);
  EXPECT_EQ(std::memcmp(&u.font, &c.font, sizeof c.font), 0);
  EXPECT_EQ((uint64_t{u.foreground} << 32) | u.background, 0x000000FF00123456ull);
}

TEST_F(Settings, UnusableValuesFallBackToTheirDefaults) {
  std::string face = Hex(28, "00");
  for (int i = 0; i < 30; ++i) face += ",61";
  WriteSettings("\"fileName\"=\"" + std::string(300, 'x') + "\"\n\"ftpUser\"=\"" +
                std::string(64, 'u') + "\"\n\"captionText\"=\"" + std::string(254, 'c') +
                "\xC3\xA9\"\n\"ftpFile\"=hex(2):61,2e,6a,70,67,00\n\"interval\"=\"10\"\n"
                "\"quality\"=hex(4):4b,00,00,00,00,00,00,00\n\"httpRefresh\"=hex:05,00,00,00\n"
                "\"ftpServer\"=hex(1):66,74,70\n\"ftpDir\"=hex(1):2f,64,00,78,00\n"
                "\"captionFont\"=" + face + ",c3,a9\n");
  auto s = Loaded();
  EXPECT_EQ(std::string(s->fileName) + "|" + s->ftpUser + "|" + s->captionStyle->text + "|" +
                s->ftpFile + "|" + s->ftpServer + "|" + s->ftpDir,
            "cam.jpg||%c|cam.jpg|ftp|/d");  // texts without a NUL terminated within the field
  EXPECT_EQ(s->interval + s->httpRefresh, 0);
  EXPECT_EQ(s->quality, 50);
  // A whole 60-byte record: the full face name is ended on a character boundary.
  EXPECT_EQ(std::string(s->captionStyle->font.lfFaceName), std::string(30, 'a'));

  for (std::string font : {Hex(20, "7f"), Hex(61, "7f"), "hex(4):" + Hex(60, "41").substr(4)}) {
    WriteSettings("\"captionFont\"=" + font + "\n\"ftpServer\"=hex(1):" + Hex(260, "61").substr(4) +
                  "\n");
    s = Loaded();
    ExpectDefaultCaption(*s->captionStyle);
    EXPECT_STREQ(s->ftpServer, "");  // 260 bytes and no terminator do not fit 260
  }
}

TEST_F(Settings, HttpPortIsStoredSignExtendedAndReadAsSixteenBits) {
  auto s = MakeAppState();
  s->http = 1;
  s->httpPort = 40000;
  SaveSettings(*s);
  EXPECT_NE(ReadFile(file_).find("\"httpPort\"=dword:ffff9c40\n"), std::string::npos);
  EXPECT_EQ(Loaded()->httpPort, 40000);
  WriteSettings("\"httpPort\"=dword:00019c40\n");
  EXPECT_EQ(Loaded()->httpPort, 40000);
}

TEST_F(Settings, SwitchedOffGroupsKeepWhatTheFileHeld) {
  WriteSettings(
      "\"saveFile\"=dword:00000000\n\"fileName\"=\"kept.jpg\"\n"
      "\"http\"=dword:00000001\n\"httpPort\"=dword:00001f90\n"
      "\"ftp\"=dword:00000001\n\"ftpServer\"=\"old.example\"\n"
      "\"caption\"=dword:00000001\n\"captionText\"=\"old %c\"\n");
  test::FakeMainWindow window;
  auto s = Loaded();
  s->mainWindow = &window;
  // "Save File" ticked and a new name typed, but no capture since.
  window.SetChecked(1005, true);
  window.SetText(1006, "typed.jpg");
  s->http = s->caption = 0;
  s->httpPort = 1234;
  std::strcpy(s->captionStyle->text, "new");
  std::strcpy(s->ftpServer, "new.example");
  window.SetChecked(kEnableFtpCheckBoxId, false);
  SaveSettings(*s);
  EXPECT_EQ(StoredDword("saveFile") + StoredDword("http") + StoredDword("ftp"), 0u);
  EXPECT_EQ(StoredText("fileName"), "kept.jpg");
  EXPECT_EQ(StoredDword("httpPort"), 8080u);
  EXPECT_EQ(StoredText("ftpServer"), "old.example");
  EXPECT_EQ(StoredText("captionText"), "old %c");

}

// The classic rand() keystream seeded with the user's signed byte sum plus the offset.
std::string KeyStream(std::string_view user, size_t n) {
  int32_t seed = static_cast<int32_t>(kPasswordSeedOffset);
  for (char c : user) seed += static_cast<signed char>(c);
  uint32_t state = static_cast<uint32_t>(seed);
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    state = state * 214013u + 2531011u;
    out.push_back(static_cast<char>((state >> 16) & 0x7F));
  }
  return out;
}

TEST_F(Settings, PasswordScramblingIsTheKeyedGeneratorAndItsOwnInverse) {
  for (const std::string& user : {std::string("caf\xC3\xA9"), std::string(63, '\xFF')}) {
    std::string key = KeyStream(user, 40), pass = "The quick brown fox jumps over 13 dogs!";
    std::string stored = ScrambledPassword(user, pass);
    ASSERT_EQ(stored.size(), pass.size());
    for (size_t i = 0; i < pass.size(); ++i)
      EXPECT_EQ(stored[i], static_cast<char>((pass[i] ^ key[i]) & 0x7F)) << user << " " << i;
    EXPECT_EQ(ScrambledPassword(user, stored), pass);
  }
  EXPECT_TRUE(PasswordStorable("plain ASCII ~!\x7F"));
  EXPECT_FALSE(PasswordStorable("caf\xC3\xA9"));
}

TEST_F(Settings, APasswordWithZerosInItsStoredFormRoundTripsAndEditingTheUserGarblesIt) {
  const std::string user = "camera", key = KeyStream(user, 12);
  std::string pass = "abcdefghijkl";
  for (size_t i : {0u, 5u, 11u}) pass[i] = key[i];  // these scramble to zero
  std::string stored = ScrambledPassword(user, pass);
  ASSERT_EQ(stored[0] | stored[5] | stored[11], 0);
  auto s = MakeAppState();
  s->ftp = 1;
  std::strcpy(s->ftpUser, user.c_str());
  std::memcpy(s->ftpPass, pass.c_str(), pass.size() + 1);
  SaveSettings(*s);
  EXPECT_EQ(s->ftpPass, pass);
  RegStore file = Stored();
  const RegValue* v = file.Query("ftpPass");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v->data.begin(), v->data.end()), stored + '\0');
  EXPECT_EQ(Loaded()->ftpPass, pass);
  std::string text = ReadFile(file_);
  text.replace(text.find("\"camera\""), 8, "\"camerb\"");
  WriteFile(file_, text);
  EXPECT_NE(Loaded()->ftpPass, pass);
}

TEST_F(Settings, ADamagedFileNeverStopsLoadingAndIsKeptAtTheNextSave) {
  auto s = MakeAppState();
  s->interval = 30;
  s->ftp = 1;
  std::strcpy(s->ftpServer, "ftp.example.org");
  s->quality = 90;
  SaveSettings(*s);
  // Cut in the middle of the server name: what comes before is used.
  std::string whole = ReadFile(file_);
  std::string part = whole.substr(0, whole.find("ftp.example") + 5);
  WriteFile(file_, part);
  auto t = Loaded();
  EXPECT_EQ(t->interval, 30);
  EXPECT_STREQ(t->ftpServer, "");
  EXPECT_EQ(t->quality, 50);
  SaveSettings(*t);
  EXPECT_EQ(ReadFile(file_.string() + ".bad"), part);
  EXPECT_FALSE(Stored().damaged());

}

}  // namespace
}  // namespace snapvane
