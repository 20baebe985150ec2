#include "settings/reg_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
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

const std::string kHead = "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n";

TEST(RegStore, EveryTypeAndOddBytesSurviveFormatAndParse) {
  RegStore s;
  const std::pair<uint32_t, std::string> cases[] = {
      {kRegSz, std::string("cam.jpg\0", 8)},       {kRegSz, std::string("a \"q\" \\ b\\\0", 11)},
      {kRegSz, std::string("ab\0cd\0", 6)},        {kRegSz, "abc"},
      {kRegSz, std::string("a\nb\r\0", 5)},        {kRegSz, ""},
      {kRegDword, std::string("\x0a\0\0\0", 4)},   {kRegDword, "12345678"},
      {kRegExpandSz, std::string("%HOME%\0", 7)},  {kRegQword, "12345678"},
      {0x12345678, "\xde\xad"},                    {kRegBinary, std::string(300, '\xab')}};
  int n = 0;
  for (const auto& [type, data] : cases) s.Set("v" + std::to_string(n++), type, data.data(), data.size());
  s.Set("", kRegSz, "default", 8);
  std::string text = s.Format();
  RegStore back = RegStore::Parse(text);
  EXPECT_FALSE(back.damaged()) << text;
  ExpectSameValues(s, back);
  for (const char* form : {"\n\"v0\"=\"cam.jpg\"\n", "\n\"v1\"=\"a \\\"q\\\" \\\\ b\\\\\"\n",
                           "\n\"v2\"=hex(1):61,62,00,63,64,00\n", "\n\"v3\"=hex(1):61,62,63\n",
                           "\n\"v6\"=dword:0000000a\n", "\n\"v7\"=hex(4):31,32", "\n\"v8\"=hex(2):25,",
                           "\n\"v9\"=hex(b):31,", "\n\"v10\"=hex(12345678):de,ad\n", "\n@=\"default\"\n"})
    EXPECT_NE(text.find(form), std::string::npos) << form;
  for (size_t start = 0, nl; start < text.size(); start = nl + 1)
    EXPECT_LE((nl = text.find('\n', start)) - start, 80u);
}

TEST(RegStore, ReadsHandWrittenTextAndSkipsOnlyBadLines) {
  RegStore s = RegStore::Parse(
      "REGEDIT4\r\n\r\n; a comment\r\n[hkey_current_user\\Software\\Tolmar\\SNAPVANE]\r\n"
      "\"Interval\"=DWORD:0000001F\r\n\"font\"=hex:F3,ff,\\\r\n  00 , 01,\\\r\n\t02\r\n"
      "\"gone\"=\"x\"\r\n\"gone\"=-\r\n\"twice\"=\"first\"\r\n\"twice\" = \"second\"\r\n"
      "\"tail\"=\"no newline at the end\"");
  EXPECT_FALSE(s.damaged());
  EXPECT_EQ(s.Query("INTERVAL")->data, (std::vector<uint8_t>{0x1f, 0, 0, 0}));
  EXPECT_EQ(s.Query("font")->data, (std::vector<uint8_t>{0xf3, 0xff, 0, 1, 2}));
  EXPECT_EQ(s.Query("gone"), nullptr);
  EXPECT_EQ(s.Query("twice")->data, Bytes(std::string("second\0", 7)));
  EXPECT_EQ(s.Query("tail")->data, Bytes(std::string("no newline at the end\0", 22)));

  for (const char* line :
       {"\"a\"=\"no closing quote", "\"a\"=\"bad \\n escape\"", "\"a\"=\"text\" trailing",
        "\"a\" \"missing equals\"", "a=\"unquoted name\"", "\"a\"=dword:0000001",
        "\"a\"=dword:000000010", "\"a\"=dword:0000001g", "\"a\"=hex:0,01", "\"a\"=hex:01,,02",
        "\"a\"=hex:01,", "\"a\"=hex(zz):01", "\"a\"=hex(123456789):01", "\"a\"=hex(1:01",
        "  01,02"}) {
    RegStore r = RegStore::Parse(kHead + "\"before\"=dword:00000001\n" + line +
                                 "\n\"after\"=dword:00000002\n");
    EXPECT_TRUE(r.damaged()) << line;
    EXPECT_EQ(r.skippedLines(), 1u) << line;
    EXPECT_EQ(r.Query("a"), nullptr) << line;
    EXPECT_TRUE(r.Query("before") && r.Query("after")) << line;
  }
  // A continuation that never comes spoils only its own value.
  RegStore cut = RegStore::Parse(kHead + "\"a\"=hex:01,\\\n\"b\"=dword:00000002\n\"c\"=hex:01,\\");
  EXPECT_TRUE(cut.damaged());
  EXPECT_TRUE(!cut.Query("a") && cut.Query("b") && !cut.Query("c"));
  // Values outside our key are not taken.
  RegStore foreign = RegStore::Parse("REGEDIT4\n\"early\"=dword:00000001\n[HKEY_CURRENT_USER\\other]\n"
                                     "\"x\"=dword:00000001\n" + kHead.substr(10) + "\"ours\"=dword:00000003\n");
  EXPECT_TRUE(foreign.damaged());
  EXPECT_TRUE(!foreign.Query("early") && !foreign.Query("x") && foreign.Query("ours"));
}

TEST(RegStore, SaveIsAtomicAndKeepsADamagedFile) {
  test::Sandbox box;
  EXPECT_FALSE(RegStore::Load(box / "absent.reg").damaged());
  EXPECT_TRUE(RegStore::Load(box.path()).damaged());  // unreadable: a folder
  fs::path file = box / "a" / "b" / "Snapvane.reg";
  RegStore s;
  s.Set("interval", kRegDword, "\1\0\0\0", 4);
  ASSERT_TRUE(s.Save(file));
  EXPECT_EQ(ReadFile(file), s.Format());

  const std::string damaged = kHead + "\"interval\"=dword:00000002\n\"cut\"=\"in the mid";
  WriteFile(file, damaged);
  RegStore loaded = RegStore::Load(file);
  ASSERT_TRUE(loaded.Save(file));
  EXPECT_EQ(ReadFile(file.string() + ".bad"), damaged);
  EXPECT_EQ(FilesIn(file.parent_path()), (std::vector<std::string>{"Snapvane.reg", "Snapvane.reg.bad"}));

  // A full disk (a file size limit binds root too): the old file stays, no temporary.
  const std::string old = ReadFile(file);
  std::vector<uint8_t> bulk(4000, 0xab);
  s.Set("big", kRegBinary, bulk.data(), bulk.size());
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit saved, small;
  getrlimit(RLIMIT_FSIZE, &saved);
  small = {1000, saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &small);
  bool ok = s.Save(file);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(ReadFile(file), old);
  EXPECT_EQ(FilesIn(file.parent_path()), (std::vector<std::string>{"Snapvane.reg", "Snapvane.reg.bad"}));
  // The file's folder cannot exist.
  EXPECT_FALSE(s.Save(file / "x" / "Snapvane.reg"));
  EXPECT_EQ(ReadFile(file), old);
}

// Random damage to a good file: no crash or hang, and whatever is taken writes back
// in a form that reads back the same, cleanly.
TEST(RegStore, RandomTextNeverBreaksTheParser) {
  RegStore seed;
  seed.Set("captionFont", kRegBinary, std::string(60, '\x25').data(), 60);
  seed.Set("fileName", kRegSz, "a \"b\" \\c\0", 9);
  seed.Set("ftpPass", kRegSz, "x\0y\0", 4);
  seed.Set("interval", kRegDword, "\x01\x02\x03\x04", 4);
  const std::string good = seed.Format(), alphabet = "\"\\=:,()[]@;-\n\r\t x0123456789abcdefhexdword";
  std::mt19937 rng(20261206);
  for (int round = 0; round < 20000; ++round) {
    std::string text = good;
    for (int e = 0, edits = 1 + rng() % 8; e < edits; ++e) {
      size_t at = text.empty() ? 0 : rng() % text.size();
      switch (rng() % 4) {
        case 0: if (!text.empty()) text[at] = alphabet[rng() % alphabet.size()]; break;
        case 1: text.insert(at, 1, static_cast<char>(rng())); break;
        case 2: text.resize(at); break;
        case 3: text.insert(at, text.substr(rng() % (text.size() + 1), rng() % 40)); break;
      }
    }
    RegStore parsed = RegStore::Parse(text);
    RegStore back = RegStore::Parse(parsed.Format());
    ASSERT_FALSE(back.damaged()) << text;
    ExpectSameValues(parsed, back);
  }
  // Pathological shapes stay linear.
  EXPECT_TRUE(RegStore::Parse(kHead + "\"a\"=\"" + std::string(1 << 20, '\\')).damaged());
}

}  // namespace
}  // namespace snapvane
