#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "common/fixed_text.h"
#include "common/time_text.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

// German names and a local zone, on two threads: English names, a zero-padded day
// and each thread's own time.
TEST(TimeText, EnglishNamesInAGermanLocaleOnEveryThread) {
  test::Sandbox box;
  if (!test::UseLocale("de_DE.UTF-8", box)) GTEST_SKIP() << "no de_DE.UTF-8 locale";
  setenv("TZ", "CET-1", 1);
  tzset();
  const std::time_t t0 = 1796521828;  // Sun Dec 06 01:50:28 2026 UTC
  int mismatches[2] = {};
  auto run = [&](int i, std::time_t time, const char* expected) {
    for (int n = 0; n < 5000; ++n) mismatches[i] += TimeText(LocalTime(time)) != expected;
  };
  std::thread other(run, 1, t0 + 86400 * 3 + 7, "Wed Dec 09 02:50:35 2026");
  run(0, t0, "Sun Dec 06 02:50:28 2026");
  other.join();
  std::setlocale(LC_ALL, "C");
  unsetenv("LOCPATH"), unsetenv("TZ"), tzset();
  EXPECT_EQ(mismatches[0] + mismatches[1], 0) << mismatches[0] << " here, " << mismatches[1];
}

TEST(FixedText, KeepsCapacityAndNeverCutsAUtf8Character) {
  char buf[6];
  EXPECT_EQ(CopyText(buf, "abcd\xC3\xA9"), 4u);  // only 5 bytes fit: the accent goes whole
  EXPECT_STREQ(buf, "abcd");
}

}  // namespace
}  // namespace snapvane
