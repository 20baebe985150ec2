#include "app/fixed_text.h"

#include <gtest/gtest.h>

#include "app/time_text.h"

namespace snapvane {
namespace {

TEST(FixedText, KeepsCapacityAndNeverCutsAUtf8Character) {
  char buf[6];
  EXPECT_EQ(CopyText(buf, "hello world"), 5u);
  EXPECT_STREQ(buf, "hello");
  // "abcd" + e-acute (2 bytes): only 5 bytes fit, so the accent goes whole.
  EXPECT_EQ(CopyText(buf, "abcd\xC3\xA9"), 4u);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(CopyText(buf, ""), 0u);
  EXPECT_STREQ(buf, "");
}

TEST(TimeText, EnglishNamesAndZeroPaddedDay) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 6;
  t.tm_wday = 0;
  t.tm_hour = 1;
  t.tm_min = 50;
  t.tm_sec = 28;
  EXPECT_EQ(TimeText(t), "Sun Dec 06 01:50:28 2026");
  EXPECT_EQ(TimeText(t).size(), 24u);
}

}  // namespace
}  // namespace snapvane
