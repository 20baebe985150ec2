#include "app/main_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "app/app_state.h"
#include "tests/support/fake_main_window.h"

namespace snapvane {
namespace {

// Digits only, blanks around allowed, clamped to 100 with no overflow on long
// input; the box then shows the value used.
TEST(MainCommandsTest, QualityRuleClampsAndWritesTheValueBack) {
  auto state = MakeAppState();
  test::FakeMainWindow window;
  state->mainWindow = &window;
  const std::pair<const char*, int> cases[] = {
      {"75", 75}, {"250", 100}, {"abc", 0}, {"12x", 0},
      {"-5", 0},  {" 42 ", 42}, {"", 0},    {"99999999999999999999999", 100}};
  for (auto [text, quality] : cases) {
    window.texts[main_control::kQuality] = text;
    EXPECT_EQ(ApplyQualityRule(*state), quality) << text;
    EXPECT_EQ(window.texts[main_control::kQuality], std::to_string(quality)) << text;
  }
}

}  // namespace
}  // namespace snapvane
