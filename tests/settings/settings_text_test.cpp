// Settings read and written by name, as the command line does.
#include <gtest/gtest.h>

#include <string>

#include "settings/settings_store.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

TEST(SettingsText, EveryTypeRoundTripsThePasswordIsStoredScrambledAndBadInputChangesNothing) {
  test::Sandbox box;
  const auto file = box / "Snapvane.reg";
  std::string fontHex;
  for (int i = 0; i < 60; ++i)
    fontHex += (i ? "," : "") + std::string(i == 28 ? "41" : i == 59 ? "00" : "0a");
  ASSERT_FALSE(SetSettingsText(file, {"interval=4294967295", "httpPort=65535", "quality=0x2a",
                                      "fileName=/tmp/a \"b\"\\c.jpg", "ftpUser=bob",
                                      "ftpPass=s3cret", "captionFont=" + fontHex}));
  const std::pair<const char*, std::string> expected[] = {
      {"interval", "4294967295"}, {"httpPort", "65535"},
      {"quality", "42"},          {"fileName", "/tmp/a \"b\"\\c.jpg"},
      {"ftpUser", "bob"},         {"ftpPass", "s3cret"},
      {"captionFont", fontHex}};
  for (const auto& [name, value] : expected) EXPECT_EQ(SettingText(file, name), value) << name;
  EXPECT_EQ(test::ReadFile(file).find("s3cret"), std::string::npos);
  EXPECT_NE(test::ReadFile(file).find("\"httpPort\"=dword:ffffffff"), std::string::npos)
      << "stored sign-extended, as the program stores ports";

  // A new user re-scrambles the stored password: it still reads back in clear.
  ASSERT_FALSE(SetSettingsText(file, {"ftpUser=alice"}));
  EXPECT_EQ(SettingText(file, "ftpPass"), "s3cret");
  EXPECT_EQ(SettingText(file, "nonsense"), std::nullopt);

  // A bad name or value anywhere in the list changes nothing.
  const std::string before = test::ReadFile(file);
  for (const char* bad :
       {"nonsense=1", "interval", "interval=ten", "interval=4294967296",
        "interval=", "httpPort=65536", "httpPort=-1", "ftpPass=caf\xc3\xa9", "captionFont=00,01"}) {
    std::optional<SettingsEditError> error = SetSettingsText(file, {"quality=7", bad});
    ASSERT_TRUE(error) << bad;
    EXPECT_TRUE(error->badInput);
    EXPECT_EQ(test::ReadFile(file), before) << bad;
  }
  EXPECT_EQ(SetSettingsText(file, {"ftpUser=" + std::string(64, 'u')})->message,
            "bad value for \"ftpUser\" (at most 63 bytes)");
}

}  // namespace
}  // namespace snapvane
