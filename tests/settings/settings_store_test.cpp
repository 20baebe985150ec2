#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

#include "capture/caption_style.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

const std::string kHead = "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n";

// Each test gets its own config home.
class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", box_.path().c_str(), 1);
    file_ = box_ / "tolmar" / "Snapvane.reg";
  }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }
  std::unique_ptr<Settings> Loaded() {
    auto s = std::make_unique<Settings>();
    EXPECT_EQ(LoadSettings(*s), fs::path());
    return s;
  }
  void WriteSettings(const std::string& values) {
    fs::create_directories(file_.parent_path()), WriteFile(file_, kHead + values);
  }

  test::Sandbox box_;
  fs::path file_;
};

std::string Hex(int n, const char* byte) {
  std::string h = "hex:";
  for (int i = 0; i < n; ++i) h += std::string(i ? "," : "") + byte;
  return h;
}

TEST_F(SettingsStore, EveryValueRoundTrips) {
  auto s = std::make_unique<Settings>();
  s->interval = -5, s->saveFile = s->http = s->ftp = s->caption = s->archive = 1;
  s->httpPort = 40000, s->httpRefresh = 15, s->quality = 500;
  s->ftpMode = 2, s->ftpTls = 1, s->ftpPort = 2121;
  s->captionStyle = MakeLoadedDefaultCaptionStyle();
  for (auto [field, value] : {std::pair{s->fileName, "/srv/www/caf\xC3\xA9 \"cam\" \\ 1.jpg"},
                              {s->ftpUser, "webcam"},
                              {s->ftpPass, "s3cr=t \"pw\""},
                              {s->ftpAccount, "acct"},
                              {s->ftpServer, "ftp.example.org"},
                              {s->ftpFile, "snap.jpg"},
                              {s->ftpDir, "/pub/cam"},
                              {s->captionStyle->text, "%A %d %B %Y, %H:%M"},
                              {s->ftpFingerprint, "AB:CD:EF"}})
    std::strcpy(field, value);
  CaptionStyle& c = *s->captionStyle;
  c.valign = 0, c.halign = 2, c.transparent = 1, c.font.lfHeight = -20;
  std::strcpy(c.font.lfFaceName, "DejaVu Serif");
  c.foreground = 0x0000FF, c.background = 0x123456;
  SaveSettings(*s);
  EXPECT_STREQ(s->ftpPass, "s3cr=t \"pw\"");  // the live password stays clear
  EXPECT_EQ(RegStore::Load(file_).values().size(), 34u);
  // A negative interval is stored as its 32-bit pattern, the port sign-extended from 16 bits.
  const std::string saved = ReadFile(file_);
  for (const char* line : {"\"interval\"=dword:fffffffb\n", "\"httpPort\"=dword:ffff9c40\n"})
    EXPECT_NE(saved.find(line), std::string::npos) << line;

  // What is loaded saves back unchanged: every one of the 34 values was read.
  SaveSettings(*Loaded());
  EXPECT_EQ(ReadFile(file_), saved);
}

TEST_F(SettingsStore, UnusableValuesFallBackToTheirDefaults) {
  const std::string face = Hex(28, "00") + "," + Hex(30, "61").substr(4);
  WriteSettings("\"fileName\"=\"" + std::string(300, 'x') + "\"\n\"ftpUser\"=\"" +
                std::string(64, 'u') + "\"\n\"captionText\"=\"" + std::string(254, 'c') +
                "\xC3\xA9\"\n\"ftpFile\"=hex(2):61,2e,6a,70,67,00\n\"interval\"=\"10\"\n"
                "\"quality\"=hex(4):4b,00,00,00,00,00,00,00\n\"httpRefresh\"=hex:05,00,00,00\n"
                "\"ftpServer\"=hex(1):66,74,70\n\"ftpDir\"=hex(1):2f,64,00,78,00\n"
                "\"httpPort\"=dword:00019c40\n\"captionFont\"=" +
                face + ",c3,a9\n");
  auto s = Loaded();
  EXPECT_EQ(std::string(s->fileName) + "|" + s->ftpUser + "|" + s->captionStyle->text + "|" +
                s->ftpFile + "|" + s->ftpServer + "|" + s->ftpDir,
            "cam.jpg||%c|cam.jpg|ftp|/d");  // texts without a NUL terminated within the field
  EXPECT_EQ(std::tuple(s->interval + s->httpRefresh, s->quality, s->httpPort),
            std::tuple(0, 50, uint16_t{40000}));  // the port: the low 16 bits
  // A whole 60-byte record: the full face name is ended on a character boundary.
  EXPECT_EQ(std::string(s->captionStyle->font.lfFaceName), std::string(30, 'a'));

  for (std::string font : {Hex(20, "7f"), Hex(61, "7f"), "hex(4):" + Hex(60, "41").substr(4)}) {
    WriteSettings("\"captionFont\"=" + font + "\n\"ftpServer\"=hex(1):" + Hex(260, "61").substr(4) +
                  "\n");
    s = Loaded();
    EXPECT_EQ(std::memcmp(s->captionStyle.get(), MakeLoadedDefaultCaptionStyle().get(),
                          sizeof(CaptionStyle)),
              0);
    EXPECT_STREQ(s->ftpServer, "");  // 260 bytes and no terminator do not fit 260
  }
}

TEST_F(SettingsStore, SwitchedOffGroupsStoreOnlyTheirSwitchAndKeepWhatTheFileHeld) {
  auto s = Loaded();  // the first start: no file, no folder
  // Files from before the transfer settings load as active, clear text, port 21.
  EXPECT_EQ(std::tuple(s->ftpMode, s->ftpTls, s->ftpPort, std::string(s->ftpFingerprint)),
            std::tuple(0, 0, uint16_t{21}, std::string()));
  SaveSettings(*s);  // creates the folder and stores only the switches
  EXPECT_EQ(RegStore::Load(file_).values().size(), 7u);

  WriteSettings(
      "\"saveFile\"=dword:00000000\n\"fileName\"=\"kept.jpg\"\n"
      "\"http\"=dword:00000001\n\"httpPort\"=dword:00001f90\n"
      "\"ftp\"=dword:00000001\n\"ftpServer\"=\"old.example\"\n"
      "\"caption\"=dword:00000001\n\"captionText\"=\"old %c\"\n");
  s = Loaded();
  s->http = s->ftp = s->caption = 0, s->httpPort = 1234;
  std::strcpy(s->captionStyle->text, "new");
  std::strcpy(s->ftpServer, "new.example");
  SaveSettings(*s);
  s = Loaded();
  EXPECT_EQ(std::tuple(s->saveFile + s->http + s->ftp, s->httpPort,
                       std::string(s->fileName) + "|" + s->ftpServer + "|" + s->captionStyle->text),
            std::tuple(0, uint16_t{8080}, "kept.jpg|old.example|old %c"));
}

// The classic rand() keystream seeded with the user's signed byte sum plus the offset.
std::string KeyStream(std::string_view user, size_t n) {
  uint32_t state = kPasswordSeedOffset;
  for (char c : user) state += static_cast<uint32_t>(int32_t{static_cast<signed char>(c)});
  std::string out;
  while (out.size() < n) state = state * 214013u + 2531011u, out += char((state >> 16) & 0x7F);
  return out;
}

TEST_F(SettingsStore, PasswordScramblingIsTheKeyedGeneratorAndItsOwnInverse) {
  for (const std::string& user : {std::string("caf\xC3\xA9"), std::string(63, '\xFF')}) {
    const std::string pass = "The quick brown fox jumps over 13 dogs!", key = KeyStream(user, 40),
                      stored = ScrambledPassword(user, pass);
    ASSERT_EQ(stored.size(), pass.size());
    for (size_t i = 0; i < pass.size(); ++i)
      EXPECT_EQ(stored[i], static_cast<char>((pass[i] ^ key[i]) & 0x7F)) << user << " " << i;
    EXPECT_EQ(ScrambledPassword(user, stored), pass);
  }
  EXPECT_TRUE(PasswordStorable("plain ASCII ~!\x7F") && !PasswordStorable("caf\xC3\xA9"));

  // Zero bytes in the stored form survive the file; another user name garbles it.
  const std::string user = "camera", key = KeyStream(user, 12);
  std::string pass = "abcdefghijkl";
  for (size_t i : {0u, 5u, 11u}) pass[i] = key[i];  // these scramble to zero
  const std::string stored = ScrambledPassword(user, pass);
  ASSERT_EQ(stored[0] | stored[5] | stored[11], 0);
  auto s = std::make_unique<Settings>();
  s->ftp = 1;
  std::strcpy(s->ftpUser, user.c_str());
  std::strcpy(s->ftpPass, pass.c_str());
  SaveSettings(*s);
  EXPECT_EQ(Loaded()->ftpPass, pass);
  std::string text = ReadFile(file_);
  WriteFile(file_, text.replace(text.find("\"camera\""), 8, "\"camerb\""));
  EXPECT_NE(Loaded()->ftpPass, pass);
}

TEST_F(SettingsStore, ADamagedFileNeverStopsLoadingAndIsKeptOnceAsSoonAsItIsRead) {
  const std::string bad = file_.string() + ".bad";
  const std::string cut = "\"interval\"=dword:0000001e\n\"ftpServer\"=\"ftp.ex";  // ends mid-value
  WriteSettings(cut);
  auto t = std::make_unique<Settings>();
  EXPECT_EQ(LoadSettings(*t), bad);  // the caller names the copy in its log
  EXPECT_EQ(std::tuple(t->interval, std::string(t->ftpServer)), std::tuple(30, ""));
  EXPECT_EQ(ReadFile(bad), kHead + cut);
  ::testing::internal::CaptureStderr();
  SaveSettings(*t);  // the copy already holds these bytes: no second copy, no second line
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ReadFile(bad), kHead + cut);
  EXPECT_NE(ReadFile(file_).find("\n\"ftpServer\"=\"ftp.ex\n"), std::string::npos);  // kept

  // Ordinary edits are not damage: a byte-order mark, short dword digits, comments.
  const std::string edited = "\xEF\xBB\xBF" + kHead + "; every minute\n\"interval\"=dword:3c\n";
  WriteFile(file_, edited);
  fs::remove(bad);
  EXPECT_EQ(Loaded()->interval, 60);
  SaveSettings(*Loaded());
  EXPECT_FALSE(fs::exists(bad));
  EXPECT_NE(ReadFile(file_).find("; every minute\n\"interval\"=dword:0000003c\n"),
            std::string::npos);
}

}  // namespace
}  // namespace snapvane
