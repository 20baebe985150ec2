#include "settings/reg_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
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
  for (size_t i = 0; i < a.values().size(); ++i)
    EXPECT_EQ(std::tie(a.values()[i].name, a.values()[i].type, a.values()[i].data),
              std::tie(b.values()[i].name, b.values()[i].type, b.values()[i].data));
}

const std::string kHead = "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\tolmar\\Snapvane]\n";

TEST(RegStore, EveryTypeAndOddBytesSurviveFormatAndParse) {
  RegStore s;
  const std::pair<uint32_t, std::string> cases[] = {{kRegSz, std::string("cam.jpg\0", 8)},
                                                    {kRegSz, std::string("a \"q\" \\ b\\\0", 11)},
                                                    {kRegSz, std::string("ab\0cd\0", 6)},
                                                    {kRegSz, "abc"},
                                                    {kRegSz, std::string("a\nb\r\0", 5)},
                                                    {kRegSz, ""},
                                                    {kRegDword, std::string("\x0a\0\0\0", 4)},
                                                    {kRegDword, "12345678"},
                                                    {kRegExpandSz, std::string("%HOME%\0", 7)},
                                                    {kRegQword, "12345678"},
                                                    {0x12345678, "\xde\xad"},
                                                    {kRegBinary, std::string(300, '\xab')},
                                                    {kRegSz, std::string("I\rd(/\x05\0", 7)},
                                                    {kRegSz, std::string("tab\there\x7f\0", 10)}};
  int n = 0;
  for (const auto& [type, data] : cases)
    s.Set("v" + std::to_string(n++), type, data.data(), data.size());
  s.Set("", kRegSz, "default", 8);
  std::string text = s.Format();
  RegStore back = RegStore::Parse(text);
  EXPECT_FALSE(back.damaged()) << text;
  ExpectSameValues(s, back);
  for (const char* form :
       {"\n\"v0\"=\"cam.jpg\"\n", "\n\"v1\"=\"a \\\"q\\\" \\\\ b\\\\\"\n",
        "\n\"v2\"=hex(1):61,62,00,63,64,00\n", "\n\"v3\"=hex(1):61,62,63\n",
        "\n\"v6\"=dword:0000000a\n", "\n\"v7\"=hex(4):31,32", "\n\"v8\"=hex(2):25,",
        "\n\"v9\"=hex(b):31,", "\n\"v10\"=hex(12345678):de,ad\n", "\n@=\"default\"\n",
        "\n\"v12\"=hex(1):49,0d,64,28,2f,05,00\n", "\n\"v13\"=hex(1):74,61,62,09,"})
    EXPECT_NE(text.find(form), std::string::npos) << form;
  for (size_t start = 0, nl; start < text.size(); start = nl + 1)
    EXPECT_LE((nl = text.find('\n', start)) - start, 80u);
}

TEST(RegStore, ReadsHandWrittenTextAndSkipsOnlyBadLines) {
  RegStore s = RegStore::Parse(
      "\xEF\xBB\xBFREGEDIT4\r\n\r\n; a "
      "comment\r\n[hkey_current_user\\Software\\Tolmar\\SNAPVANE]\r\n"
      "\"Interval\"=DWORD:0000001F\r\n\"font\"=hex:F3,ff,\\\r\n  00 , 01,\\\r\n\t02\r\n"
      "\"gone\"=\"x\"\r\n\"gone\"=-\r\n\"twice\"=\"first\"\r\n\"twice\" = \"second\"\r\n"
      "\"short\"=dword:a\r\n\"tail\"=\"no newline at the end\"");
  EXPECT_TRUE(!s.damaged() && !s.Query("gone"));
  EXPECT_EQ(s.Query("INTERVAL")->data, Bytes(std::string("\x1f\0\0\0", 4)));
  EXPECT_EQ(s.Query("short")->data, Bytes(std::string("\x0a\0\0\0", 4)));
  EXPECT_EQ(s.Query("font")->data, Bytes(std::string("\xf3\xff\0\1\2", 5)));
  EXPECT_EQ(s.Query("twice")->data, Bytes(std::string("second\0", 7)));
  EXPECT_EQ(s.Query("tail")->data, Bytes(std::string("no newline at the end\0", 22)));
  // Files written before control characters went to hex(1): still read the same.
  RegStore old = RegStore::Parse(kHead + "\"ftpPass\"=\"I\rd(/\x05\x7f\"\r\n");
  EXPECT_EQ(old.Query("ftpPass")->data, Bytes(std::string("I\rd(/\x05\x7f\0", 8)));

  for (const char* line :
       {"\"a\"=\"no closing quote", "\"a\"=\"bad \\n escape\"", "\"a\"=\"text\" trailing",
        "\"a\" \"missing equals\"", "a=\"unquoted name\"", "\"a\"=dword:", "\"a\"=dword:000000010",
        "\"a\"=dword:0000001g", "\"a\"=hex:0,01", "\"a\"=hex:01,,02", "\"a\"=hex:01,",
        "\"a\"=hex(zz):01", "\"a\"=hex(123456789):01", "\"a\"=hex(1:01", "  01,02"}) {
    RegStore r = RegStore::Parse(kHead + "\"before\"=dword:00000001\n" + line +
                                 "\n\"after\"=dword:00000002\n");
    EXPECT_TRUE(r.damaged() && r.skippedLines() == 1 && !r.Query("a") && r.Query("before") &&
                r.Query("after"))
        << line;
  }
  // A continuation that never comes spoils only its own value.
  RegStore cut = RegStore::Parse(kHead + "\"a\"=hex:01,\\\n\"b\"=dword:00000002\n\"c\"=hex:01,\\");
  EXPECT_TRUE(cut.damaged() && !cut.Query("a") && cut.Query("b") && !cut.Query("c"));
}

// A hand-edited file saved again: comments, other keys and lines that do not parse
// stay where they were; values are changed in place, new ones come after the last.
TEST(RegStore, KeptLinesStayInPlaceAcrossASave) {
  const std::string edited =
      "\xEF\xBB\xBFREGEDIT4\n; my camera\n\"early\"=dword:1\n[HKEY_CURRENT_USER\\other]\n"
      "\"x\"=dword:00000001\n\n[hkey_current_user\\software\\tolmar\\snapvane]\n"
      "; how often\n\"interval\"=dword:1e\n\"fileName\"=\"cut\n  ; gone soon\r\r\n"
      "\"gone\"=dword:00000001\n\"quality\"=dword:00000032\n\n[HKEY_CURRENT_USER\\later]\n"
      "\"y\"=\"z\"\n\n\n";
  RegStore s = RegStore::Parse(edited);
  EXPECT_TRUE(s.damaged() && s.skippedLines() == 1);  // only the cut line
  EXPECT_TRUE(!s.Query("early") && !s.Query("x") && !s.Query("y") && s.Query("quality"));
  s.Set("interval", kRegDword, "\x3c\0\0\0", 4);
  s.Remove("gone");
  s.Set("saveFile", kRegDword, "\1\0\0\0", 4);
  const std::string expected =
      "REGEDIT4\n; my camera\n\"early\"=dword:1\n[HKEY_CURRENT_USER\\other]\n"
      "\"x\"=dword:00000001\n\n" +
      kHead.substr(10) +
      "; how often\n\"interval\"=dword:0000003c\n\"fileName\"=\"cut\n  ; gone soon\n"
      "\"quality\"=dword:00000032\n\"saveFile\"=dword:00000001\n\n"
      "[HKEY_CURRENT_USER\\later]\n\"y\"=\"z\"\n\n";
  EXPECT_EQ(s.Format(), expected);
  EXPECT_EQ(RegStore::Parse(expected).Format(), expected);
}

TEST(RegStore, SaveIsAtomicAndAFullDiskKeepsTheOldFile) {
  test::Sandbox box;
  // A missing file is an empty store; an unreadable one (a folder) is a damaged one.
  EXPECT_TRUE(!RegStore::Load(box / "absent.reg").damaged() &&
              RegStore::Load(box.path()).damaged());
  fs::path file = box / "a" / "b" / "Snapvane.reg";
  RegStore s;
  s.Set("interval", kRegDword, "\1\0\0\0", 4);
  ASSERT_TRUE(s.Save(file));
  EXPECT_EQ(ReadFile(file), s.Format());

  // A full disk (a file size limit binds root too): the old file stays, no temporary.
  const std::string old = ReadFile(file);
  s.Set("big", kRegBinary, std::string(4000, '\xab').data(), 4000);
  auto saveUnderLimit = [&] {
    rlimit small{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &small);
    signal(SIGXFSZ, SIG_IGN);
    std::_Exit(s.Save(file) ? 1 : 0);
  };
  EXPECT_EXIT(saveUnderLimit(), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadFile(file), old);
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), {}), 1) << "a temporary left";
  EXPECT_FALSE(s.Save(file / "x" / "Snapvane.reg")) << "the file's folder cannot exist";
}

// Random damage to a good file: no crash or hang, and whatever is taken writes back
// in a form that reads back the same, with the same lines left unparsed.
TEST(RegStore, RandomTextNeverBreaksTheParser) {
  const std::string good = kHead +
                           "\"font\"=hex:25,25,\\\n  25,25\n\"file\"=\"a \\\"b\\\" \\\\c\"\n" +
                           "\"pass\"=hex(1):78,00,79,00\n\"interval\"=dword:04030201\n";
  const std::string alphabet = "\"\\=:,()[]@;-\n\r\t x0123456789abcdefhexdword";
  std::mt19937 rng(20261206);
  for (int round = 0; round < 20000; ++round) {
    std::string text = good;
    for (int e = 0, edits = 1 + rng() % 8; e < edits; ++e) {
      const size_t at = rng() % (text.size() + 1), kind = rng() % 3;
      if (kind == 2)
        text.erase(at, rng() % 2 ? std::string::npos : rng() % 40);  // cuts
      else
        text.insert(at, 1, kind ? static_cast<char>(rng()) : alphabet[rng() % alphabet.size()]);
    }
    RegStore parsed = RegStore::Parse(text), back = RegStore::Parse(parsed.Format());
    ASSERT_EQ(back.skippedLines(), parsed.skippedLines()) << text;
    ExpectSameValues(parsed, back);
    ASSERT_EQ(back.Format(), parsed.Format()) << text;
  }
  // Pathological shapes stay linear.
  EXPECT_TRUE(RegStore::Parse(kHead + "\"a\"=\"" + std::string(1 << 20, '\\')).damaged());
}

}  // namespace
}  // namespace snapvane
