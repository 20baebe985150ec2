#include "app/main_commands.h"

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "tests/support/fake_main_window.h"

namespace snapvane {
namespace {

using namespace main_control;

TEST(MainCommandsTest, TableMapsEachControlAndNotification) {
  using C = MainCommand;
  const std::tuple<int, int, C> table[] = {
      {kSource, 0, C::kSourceDialog}, {kFormat, 5, C::kFormatDialog}, {kDisplay, 0, C::kDisplayDialog},
      {kPreviewVideo, 0, C::kPreviewBox}, {kChooseFile, 0, C::kChooseFile}, {kEnableHttp, 0, C::kHttpBox},
      {kHttpSettings, 0, C::kHttpSettings}, {kFtpSettings, 0, C::kFtpSettings},
      {kTakePicture, 0, C::kTakePicture}, {kCaptionImage, 0, C::kCaptionBox},
      {kCaptionSettings, 0, C::kCaptionSettings}, {kAbout, 0, C::kAbout}, {kClose, 0, C::kClose},
      {kInterval, notify::kKillFocus, C::kReadInterval}, {kInterval, notify::kClicked, C::kNone},
      {kIntervalUnit, notify::kSelChange, C::kReadInterval}, {kIntervalUnit, notify::kKillFocus, C::kNone},
      {kQuality, notify::kKillFocus, C::kQualityRule}, {kQuality, notify::kSelChange, C::kNone},
      {1, 0, C::kNone}, {2, 0, C::kNone}, {kSaveFile, 0, C::kNone}, {kLog, 0, C::kNone}};  // OK, Cancel
  for (const auto& [id, code, command] : table) EXPECT_EQ(CommandFor(id, code), command) << id;
}

TEST(MainCommandsTest, QualityRuleClampsAndWritesTheValueBack) {
  for (auto [text, q] : std::vector<std::pair<const char*, int>>{
           {"75", 75}, {"101", 100}, {"abc", 0}, {"12x", 0}, {"-5", 0}, {" 42 ", 42},
           {"99999999999999999999999", 100}})
    EXPECT_EQ(QualityFromText(text), q) << text;
  auto state = MakeAppState();
  test::FakeMainWindow window;
  state->mainWindow = &window;
  window.texts[kQuality] = "250";
  EXPECT_EQ(ApplyQualityRule(*state), 100);
  EXPECT_EQ(window.texts[kQuality], "100");
  window.texts[kQuality] = "";
  EXPECT_EQ(ApplyQualityRule(*state), 0);
  EXPECT_EQ(window.texts[kQuality], "0");
}

}  // namespace
}  // namespace snapvane
