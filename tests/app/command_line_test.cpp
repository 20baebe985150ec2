#include "app/command_line.h"

#include <gtest/gtest.h>

namespace snapvane {
namespace {

using A = CommandLine::Action;

TEST(CommandLine, OptionsTakeTheirValuesEitherWayAndAnythingElseIsAUsageError) {
  CommandLine cl = ParseCommandLine({"--config", "a.reg", "--set", "interval=5", "--set=http=1"});
  EXPECT_EQ(
      std::tuple(cl.action, cl.configFile, cl.assignments),
      std::tuple(A::kSet, std::string("a.reg"), std::vector<std::string>{"interval=5", "http=1"}));
  cl = ParseCommandLine({"--get", "--headless"});
  EXPECT_EQ(std::tuple(cl.action, cl.getName.has_value(), cl.headless),
            std::tuple(A::kGet, false, true));
  EXPECT_EQ(ParseCommandLine({"--get", "quality"}).getName, "quality");
  EXPECT_EQ(ParseCommandLine({"--config=b.reg", "--headless"}).action, A::kRun);
  EXPECT_EQ(ParseCommandLine({"--set", "x=1", "--help"}).action, A::kHelp);
  EXPECT_EQ(ParseCommandLine({"-v"}).action, A::kVersion);
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--bogus"},
                                             {"stray"},
                                             {"--config"},
                                             {"--set"},
                                             {"--headless=1"},
                                             {"--get", "--set", "a=1"}})
    EXPECT_EQ(ParseCommandLine(bad).action, A::kUsageError) << bad[0];
}

}  // namespace
}  // namespace snapvane
