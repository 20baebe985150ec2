// The time text of the log lines in a non-English locale and on several threads.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "app/time_text.h"
#include "tests/support/sandbox.h"

namespace snapvane {
namespace {

constexpr std::time_t kSunDec06At015028Utc = 1796521828;

// Switches the process to German (generating the locale into a sandbox when the
// system has none) and back to "C" and the old time zone afterwards.
class GermanLocale : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8")) return;
    generated_ = new test::Sandbox;
    const std::string cmd = "localedef -i de_DE -f UTF-8 '" +
                            (*generated_ / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) {
      delete generated_;
      generated_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete generated_;
    generated_ = nullptr;
  }
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    if (tz) oldTz_ = tz, hadTz_ = true;
    if (generated_) setenv("LOCPATH", generated_->path().c_str(), 1);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
      GTEST_SKIP() << "no de_DE.UTF-8 locale and localedef could not make one";
  }
  void TearDown() override {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    if (hadTz_)
      setenv("TZ", oldTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  void UseTimeZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }

  static inline test::Sandbox* generated_ = nullptr;  // the generated locale, if any
  std::string oldTz_;
  bool hadTz_ = false;
};

TEST_F(GermanLocale, EnglishNamesAndZeroPaddedDay) {
  UseTimeZone("UTC0");
  const std::tm t = LocalTime(kSunDec06At015028Utc);
  char localeNames[64];
  std::strftime(localeNames, sizeof localeNames, "%a %b", &t);
  ASSERT_STREQ(localeNames, "So Dez");  // the locale really is German
  EXPECT_EQ(TimeText(t), "Sun Dec 06 01:50:28 2026");

  UseTimeZone("CET-1");  // local time, not UTC
  EXPECT_EQ(TimeText(LocalTime(kSunDec06At015028Utc)), "Sun Dec 06 02:50:28 2026");
}

TEST_F(GermanLocale, ThreadsFormatTheirOwnTimes) {
  UseTimeZone("UTC0");
  const std::time_t times[] = {kSunDec06At015028Utc, kSunDec06At015028Utc + 86400 * 3 + 7};
  const std::string expected[] = {"Sun Dec 06 01:50:28 2026", "Wed Dec 09 01:50:35 2026"};
  std::vector<std::thread> threads;
  std::vector<int> mismatches(2, 0);
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < 5000; ++n)
        if (TimeText(LocalTime(times[i])) != expected[i]) ++mismatches[i];
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches, (std::vector<int>{0, 0}));
}

}  // namespace
}  // namespace snapvane
