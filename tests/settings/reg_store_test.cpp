#include "settings/reg_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::Sandbox;
using test::WriteFile;

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

void ExpectSameValues(const RegStore& a, const RegStore& b) {
  ASSERT_EQ(a.values().size(), b.values().size());
  for (size_t i = 0; i < a.values().size(); ++i) {
    EXPECT_EQ(a.values()[i].name, b.values()[i].name);
    EXPECT_EQ(a.values()[i].type, b.values()[i].type) << a.values()[i].name;
    EXPECT_EQ(a.values()[i].data, b.values()[i].data) << a.values()[i].name;
  }
}

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

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

TEST(RegStore, EveryTypeAndOddBytesSurviveFormatAndParse) {
  RegStore s;
  auto set = [&](std::string_view name, uint32_t type, std::vector<uint8_t> data) {
    s.Set(name, type, data.data(), data.size());
  };
  set("plain", kRegSz, Bytes(std::string("cam.jpg\0", 8)));
  set("quotes", kRegSz, Bytes(std::string("a \"q\" \\ b\\\0", 11)));
  set("utf8 and high", kRegSz, Bytes(std::string("caf\xC3\xA9 \xFF\x80\0", 9)));
  set("inner zero", kRegSz, Bytes(std::string("ab\0cd\0", 6)));
  set("trailing zero", kRegSz, Bytes(std::string("ab\0\0", 4)));
  set("no terminator", kRegSz, Bytes("abc"));
  set("line break", kRegSz, Bytes(std::string("a\nb\r\0", 5)));
  set("carriage return", kRegSz, Bytes(std::string("a\rb\r\0", 5)));
  set("empty data", kRegSz, {});
  set("empty text", kRegSz, {0});
  set("interval", kRegDword, {0x0a, 0, 0, 0});
  set("wide dword", kRegDword, {1, 2, 3, 4, 5, 6, 7, 8});
  set("expand", kRegExpandSz, Bytes(std::string("%HOME%\0", 7)));
  set("qword", kRegQword, {1, 2, 3, 4, 5, 6, 7, 8});
  set("none", kRegNone, {});
  set("odd type", 0x12345678, {0xde, 0xad});
  std::vector<uint8_t> big(300);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  set("a \"long\" binary \\ name", kRegBinary, big);
  set("", kRegSz, Bytes(std::string("default\0", 8)));

  std::string text = s.Format();
  RegStore back = RegStore::Parse(text);
  EXPECT_FALSE(back.damaged()) << text;
  ExpectSameValues(s, back);

  // The readable forms where they fit, and classic 80-column hex lines.
  EXPECT_NE(text.find("\n\"plain\"=\"cam.jpg\"\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"quotes\"=\"a \\\"q\\\" \\\\ b\\\\\"\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"interval\"=dword:0000000a\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"inner zero\"=hex(1):61,62,00,63,64,00\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"no terminator\"=hex(1):61,62,63\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"wide dword\"=hex(4):01,02"), std::string::npos);
  EXPECT_NE(text.find("\n\"expand\"=hex(2):25,"), std::string::npos);
  EXPECT_NE(text.find("\n\"qword\"=hex(b):01,"), std::string::npos);
  EXPECT_NE(text.find("\n\"odd type\"=hex(12345678):de,ad\n"), std::string::npos);
  EXPECT_NE(text.find("\n@=\"default\"\n"), std::string::npos);
  EXPECT_NE(text.find("\n\"carriage return\"=\"a\rb\r\"\n"), std::string::npos);
  EXPECT_EQ(text.rfind(kHead, 0), 0u);
  size_t start = 0, longest = 0, continued = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string_view line(text.data() + start, nl - start);
    longest = std::max(longest, line.size());
    if (!line.empty() && line.back() == '\\') ++continued;
    start = nl + 1;
  }
  EXPECT_LE(longest, 80u);
  EXPECT_GE(continued, 10u);  // 300 bytes need a dozen lines
}

TEST(RegStore, ReadsHandWrittenClassicText) {
  std::string text =
      "REGEDIT4\r\n"
      "\r\n"
      "; a comment\r\n"
      "[hkey_current_user\\Software\\Tolmar\\SNAPVANE]\r\n"
      "\"Interval\"=DWORD:0000001F\r\n"
      "\"font\"=hex:F3,ff,\\\r\n"
      "  00 , 01,\\\r\n"
      "\t02\r\n"
      "\"gone\"=\"x\"\r\n"
      "\"gone\"=-\r\n"
      "\"twice\"=\"first\"\r\n"
      "\"twice\" = \"second\"\r\n"
      "\"empty\"=hex:\r\n"
      "\"tail\"=\"no newline at the end\"";
  RegStore s = RegStore::Parse(text);
  EXPECT_FALSE(s.damaged());
  ASSERT_NE(s.Query("interval"), nullptr);
  EXPECT_EQ(s.Query("INTERVAL")->type, kRegDword);
  EXPECT_EQ(s.Query("interval")->data, (std::vector<uint8_t>{0x1f, 0, 0, 0}));
  EXPECT_EQ(s.Query("font")->data, (std::vector<uint8_t>{0xf3, 0xff, 0, 1, 2}));
  EXPECT_EQ(s.Query("gone"), nullptr);
  EXPECT_EQ(s.Query("twice")->data, Bytes(std::string("second\0", 7)));
  EXPECT_EQ(s.Query("empty")->type, kRegBinary);
  EXPECT_TRUE(s.Query("empty")->data.empty());
  EXPECT_EQ(s.Query("tail")->data, Bytes(std::string("no newline at the end\0", 22)));
}

TEST(RegStore, SkipsEachLineThatDoesNotParseAndKeepsTheRest) {
  const std::vector<std::string> bad = {
      "\"a\"=\"no closing quote",
      "\"a\"=\"bad \\n escape\"",
      "\"a\"=\"text\" trailing",
      "\"a\" \"missing equals\"",
      "\"a=\"x\"",
      "a=\"unquoted name\"",
      "\"a\"=dword:0000001",    // seven digits: a cut value
      "\"a\"=dword:000000010",  // nine
      "\"a\"=dword:0000001g",
      "\"a\"=dword:",
      "\"a\"=hex:0,01",
      "\"a\"=hex:001",
      "\"a\"=hex:01,,02",
      "\"a\"=hex:01,",
      "\"a\"=hex(zz):01",
      "\"a\"=hex():01",
      "\"a\"=hex(123456789):01",
      "\"a\"=hex(1:01",
      "\"a\"=hex 01",
      "\"a\"=string",
      "  01,02",  // an orphaned continuation
  };
  for (const std::string& line : bad) {
    RegStore s = RegStore::Parse(kHead + "\"before\"=dword:00000001\n" + line +
                                 "\n\"after\"=dword:00000002\n");
    EXPECT_TRUE(s.damaged()) << line;
    EXPECT_EQ(s.skippedLines(), 1u) << line;
    EXPECT_EQ(s.Query("a"), nullptr) << line;
    EXPECT_NE(s.Query("before"), nullptr) << line;
    EXPECT_NE(s.Query("after"), nullptr) << line;
  }

  // A continuation that never comes spoils only its own value, not the next one.
  RegStore cut = RegStore::Parse(kHead + "\"a\"=hex:01,\\\n\"b\"=dword:00000002\n\"c\"=hex:01,\\");
  EXPECT_TRUE(cut.damaged());
  EXPECT_EQ(cut.Query("a"), nullptr);
  EXPECT_NE(cut.Query("b"), nullptr);
  EXPECT_EQ(cut.Query("c"), nullptr);

  // Values outside our key are not taken, and a missing header marks the text.
  RegStore foreign = RegStore::Parse(
      "REGEDIT4\n\"early\"=dword:00000001\n[HKEY_CURRENT_USER\\other]\n\"x\"=dword:00000001\n" +
      kHead.substr(10) + "\"ours\"=dword:00000003\n");
  EXPECT_TRUE(foreign.damaged());
  EXPECT_EQ(foreign.Query("early"), nullptr);
  EXPECT_EQ(foreign.Query("x"), nullptr);
  EXPECT_NE(foreign.Query("ours"), nullptr);
  RegStore headless = RegStore::Parse(kHead.substr(10) + "\"ours\"=dword:00000003\n");
  EXPECT_TRUE(headless.damaged());
  EXPECT_NE(headless.Query("ours"), nullptr);
}

TEST(RegStore, LoadNeverFails) {
  Sandbox box;
  RegStore missing = RegStore::Load(box / "absent.reg");
  EXPECT_FALSE(missing.damaged());
  EXPECT_TRUE(missing.values().empty());

  fs::create_directory(box / "folder.reg");
  EXPECT_TRUE(RegStore::Load(box / "folder.reg").damaged());

  WriteFile(box / "plain", "x");
  EXPECT_TRUE(RegStore::Load(box / "plain" / "under.reg").damaged());

  // An oversized file: what lies in the first part is used, the cut line is not.
  std::string big = kHead + "\"first\"=dword:00000001\n";
  while (big.size() < kMaxSettingsFileBytes + 100)
    big += "\"filler\"=\"" + std::string(60, 'f') + "\"\n";
  big += "\"last\"=dword:00000002\n";
  WriteFile(box / "big.reg", big);
  RegStore s = RegStore::Load(box / "big.reg");
  EXPECT_TRUE(s.damaged());
  EXPECT_NE(s.Query("first"), nullptr);
  EXPECT_EQ(s.Query("last"), nullptr);
  EXPECT_EQ(s.skippedLines(), 0u);
}

TEST(RegStore, SaveIsAtomicCreatesFoldersAndKeepsADamagedFile) {
  Sandbox box;
  fs::path file = box / "a" / "b" / "Snapvane.reg";
  RegStore s;
  uint8_t one[4] = {1, 0, 0, 0};
  s.Set("interval", kRegDword, one, 4);
  ASSERT_TRUE(s.Save(file));
  EXPECT_EQ(ReadFile(file), s.Format());
  EXPECT_EQ(FilesIn(file.parent_path()), std::vector<std::string>{"Snapvane.reg"});
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds the password

  // A damaged file is kept beside the new one, byte for byte.
  const std::string damaged = kHead + "\"interval\"=dword:00000002\n\"cut\"=\"in the mid";
  WriteFile(file, damaged);
  RegStore loaded = RegStore::Load(file);
  ASSERT_TRUE(loaded.damaged());
  ASSERT_TRUE(loaded.Save(file));
  EXPECT_EQ(ReadFile(file.string() + ".bad"), damaged);
  RegStore again = RegStore::Load(file);
  EXPECT_FALSE(again.damaged());
  EXPECT_EQ(again.Query("interval")->data, (std::vector<uint8_t>{2, 0, 0, 0}));
  // A clean file is simply replaced; the earlier .bad stays as it was.
  ASSERT_TRUE(again.Save(file));
  EXPECT_EQ(FilesIn(file.parent_path()),
            (std::vector<std::string>{"Snapvane.reg", "Snapvane.reg.bad"}));
  EXPECT_EQ(ReadFile(file.string() + ".bad"), damaged);

  // Saving through a symbolic link updates its target and keeps the link.
  fs::path link = box / "link.reg";
  fs::create_symlink(file, link);
  s.Set("interval", kRegDword, one, 4);
  ASSERT_TRUE(s.Save(link));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(file), s.Format());
}

TEST(RegStore, AFailedSaveKeepsTheOldFileAndLeavesNoTemporary) {
  Sandbox box;
  fs::path file = box / "Snapvane.reg";
  const std::string old = kHead + "\"interval\"=dword:00000007\n";
  WriteFile(file, old);
  RegStore s;
  std::vector<uint8_t> big(4000, 0xab);
  s.Set("big", kRegBinary, big.data(), big.size());

  // A full disk.
  EXPECT_FALSE(WithFileSizeLimit(1000, [&] { return s.Save(file); }));
  EXPECT_EQ(ReadFile(file), old);
  EXPECT_EQ(FilesIn(box.path()), std::vector<std::string>{"Snapvane.reg"});

  // A damaged old file stays in place too when the new one cannot be written.
  const std::string damaged = old + "garbage\n";
  WriteFile(file, damaged);
  RegStore fromDamaged = RegStore::Load(file);
  fromDamaged.Set("big", kRegBinary, big.data(), big.size());
  EXPECT_FALSE(WithFileSizeLimit(1000, [&] { return fromDamaged.Save(file); }));
  EXPECT_EQ(ReadFile(file), damaged);
  EXPECT_EQ(FilesIn(box.path()), std::vector<std::string>{"Snapvane.reg"});

  // The target is a folder: rename cannot replace it; the folder stays as it was.
  fs::path folder = box / "folder.reg";
  fs::create_directory(folder);
  WriteFile(folder / "inside", "x");
  EXPECT_FALSE(s.Save(folder));
  EXPECT_EQ(FilesIn(folder), std::vector<std::string>{"inside"});
  EXPECT_EQ(FilesIn(box.path()), (std::vector<std::string>{"Snapvane.reg", "folder.reg"}));

  // The folder cannot exist (a regular file stands where it would be).
  EXPECT_FALSE(s.Save(box / "Snapvane.reg" / "tolmar" / "Snapvane.reg"));
  EXPECT_EQ(ReadFile(file), damaged);
}

TEST(RegStore, SettingsFilePathFollowsXdgConfigHome) {
  const char* oldXdg = getenv("XDG_CONFIG_HOME");
  const char* oldHome = getenv("HOME");
  std::string savedXdg = oldXdg ? oldXdg : "", savedHome = oldHome ? oldHome : "";

  setenv("XDG_CONFIG_HOME", "/x/conf", 1);
  setenv("HOME", "/h", 1);
  EXPECT_EQ(SettingsFilePath(), fs::path("/x/conf/tolmar/Snapvane.reg"));
  setenv("XDG_CONFIG_HOME", "relative/conf", 1);  // not absolute: ignored
  EXPECT_EQ(SettingsFilePath(), fs::path("/h/.config/tolmar/Snapvane.reg"));
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(SettingsFilePath(), fs::path("/h/.config/tolmar/Snapvane.reg"));
  unsetenv("HOME");
  fs::path fromPasswd = SettingsFilePath();  // from the user database
  EXPECT_TRUE(fromPasswd.empty() || fromPasswd.filename() == "Snapvane.reg");

  if (oldXdg) setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
  if (oldHome) setenv("HOME", savedHome.c_str(), 1);
}

// Random damage to a good file: the parser never crashes or hangs, and whatever it
// takes from any text, it writes back in a form it reads back the same, cleanly.
TEST(RegStore, RandomTextNeverBreaksTheParser) {
  RegStore seed;
  std::vector<uint8_t> font(60);
  for (size_t i = 0; i < font.size(); ++i) font[i] = static_cast<uint8_t>(i * 37);
  seed.Set("captionFont", kRegBinary, font.data(), font.size());
  seed.Set("fileName", kRegSz, "a \"b\" \\c\0", 9);
  seed.Set("ftpPass", kRegSz, "x\0y\0", 4);
  seed.Set("interval", kRegDword, "\x01\x02\x03\x04", 4);
  const std::string good = seed.Format();
  const std::string alphabet = "\"\\=:,()[]@;-\n\r\t x0123456789abcdefhexdword";

  std::mt19937 rng(20261206);
  for (int round = 0; round < 20000; ++round) {
    std::string text = good;
    int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
      size_t at = text.empty() ? 0 : rng() % text.size();
      switch (rng() % 5) {
        case 0:
          if (!text.empty()) text[at] = alphabet[rng() % alphabet.size()];
          break;
        case 1:
          text.insert(at, 1, static_cast<char>(rng()));
          break;
        case 2:
          if (!text.empty()) text.erase(at, 1 + rng() % 16);
          break;
        case 3:
          text.resize(at);  // cut
          break;
        case 4:
          text.insert(at, text.substr(rng() % (text.size() + 1), rng() % 40));
          break;
      }
    }
    RegStore parsed = RegStore::Parse(text);
    RegStore back = RegStore::Parse(parsed.Format());
    ASSERT_FALSE(back.damaged()) << text;
    ExpectSameValues(parsed, back);
  }

  // Pathological shapes stay linear: endless continuations, huge lines, no newlines.
  std::string many = kHead + "\"a\"=hex:01,\\\n";
  for (int i = 0; i < 100000; ++i) many += "  02,\\\n";
  many += "  03\n";
  RegStore s = RegStore::Parse(many);
  ASSERT_NE(s.Query("a"), nullptr);
  EXPECT_EQ(s.Query("a")->data.size(), 100002u);
  EXPECT_FALSE(s.damaged());
  RegStore longLine = RegStore::Parse(kHead + "\"a\"=\"" + std::string(1 << 20, '\\'));
  EXPECT_TRUE(longLine.damaged());
  std::string randomBytes(1 << 16, '\0');
  for (char& c : randomBytes) c = static_cast<char>(rng());
  RegStore noise = RegStore::Parse(randomBytes);
  EXPECT_FALSE(RegStore::Parse(noise.Format()).damaged());
}

}  // namespace
}  // namespace snapvane
