#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "app/fixed_text.h"
#include "app/time_text.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

// German names and a local zone, on several threads: English names, a zero-padded
// day and each thread's own time.
TEST(TimeText, EnglishNamesInAGermanLocaleOnEveryThread) {
  test::Sandbox box;
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
    std::system(("localedef -i de_DE -f UTF-8 '" + (box / "de_DE.UTF-8").string() + "' >/dev/null 2>&1").c_str());
    setenv("LOCPATH", box.path().c_str(), 1);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE.UTF-8 locale";
  }
  setenv("TZ", "CET-1", 1);
  tzset();
  const std::time_t kSunDec06At015028Utc = 1796521828;
  const std::time_t times[] = {kSunDec06At015028Utc, kSunDec06At015028Utc + 86400 * 3 + 7};
  const std::string expected[] = {"Sun Dec 06 02:50:28 2026", "Wed Dec 09 02:50:35 2026"};
  std::tm t = LocalTime(times[0]);
  char names[64];
  std::strftime(names, sizeof names, "%a %b", &t);
  std::vector<int> mismatches(2, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&, i] {
      for (int n = 0; n < 5000; ++n) mismatches[i] += TimeText(LocalTime(times[i])) != expected[i];
    });
  for (auto& th : threads) th.join();
  std::setlocale(LC_ALL, "C");
  unsetenv("LOCPATH"), unsetenv("TZ"), tzset();
  EXPECT_STREQ(names, "So Dez");  // the locale really is German
  EXPECT_EQ(mismatches, (std::vector<int>{0, 0}));
}

TEST(FixedText, KeepsCapacityAndNeverCutsAUtf8Character) {
  char buf[6];
  EXPECT_EQ(CopyText(buf, "hello world"), 5u);
  EXPECT_STREQ(buf, "hello");
  EXPECT_EQ(CopyText(buf, "abcd\xC3\xA9"), 4u);  // only 5 bytes fit: the accent goes whole
  EXPECT_STREQ(buf, "abcd");
}

}  // namespace
}  // namespace snapvane
