#include "app/main_commands.h"

#include <gtest/gtest.h>

#include "app/app_state.h"
#include "tests/support/fake_main_window.h"
#include "tests/support/recording_ui_sink.h"

namespace snapvane {
namespace {

using namespace main_control;

TEST(MainCommandsTest, TableMapsEachControlAndNotification) {
  EXPECT_EQ(CommandFor(kSource, 0), MainCommand::kSourceDialog);
  EXPECT_EQ(CommandFor(kFormat, 5), MainCommand::kFormatDialog);  // any notification
  EXPECT_EQ(CommandFor(kDisplay, 0), MainCommand::kDisplayDialog);
  EXPECT_EQ(CommandFor(kPreviewVideo, 0), MainCommand::kPreviewBox);
  EXPECT_EQ(CommandFor(kChooseFile, 0), MainCommand::kChooseFile);
  EXPECT_EQ(CommandFor(kEnableHttp, 0), MainCommand::kHttpBox);
  EXPECT_EQ(CommandFor(kHttpSettings, 0), MainCommand::kHttpSettings);
  EXPECT_EQ(CommandFor(kFtpSettings, 0), MainCommand::kFtpSettings);
  EXPECT_EQ(CommandFor(kTakePicture, 0), MainCommand::kTakePicture);
  EXPECT_EQ(CommandFor(kCaptionImage, 0), MainCommand::kCaptionBox);
  EXPECT_EQ(CommandFor(kCaptionSettings, 0), MainCommand::kCaptionSettings);
  EXPECT_EQ(CommandFor(kAbout, 0), MainCommand::kAbout);
  EXPECT_EQ(CommandFor(kClose, 0), MainCommand::kClose);

  // Edits act only when they lose the focus, the unit list only on a new selection.
  EXPECT_EQ(CommandFor(kInterval, notify::kKillFocus), MainCommand::kReadInterval);
  EXPECT_EQ(CommandFor(kInterval, notify::kClicked), MainCommand::kNone);
  EXPECT_EQ(CommandFor(kIntervalUnit, notify::kSelChange), MainCommand::kReadInterval);
  EXPECT_EQ(CommandFor(kIntervalUnit, notify::kKillFocus), MainCommand::kNone);
  EXPECT_EQ(CommandFor(kQuality, notify::kKillFocus), MainCommand::kQualityRule);
  EXPECT_EQ(CommandFor(kQuality, notify::kSelChange), MainCommand::kNone);

  // OK and Cancel (Enter, Escape, the close box) and the passive controls: nothing.
  for (int id : {1, 2, kSaveFile, kEnableFtp, kFileName, kLog, kProgress, kTimeRemaining,
                 kFormatLine, kQualitySpin}) {
    EXPECT_EQ(CommandFor(id, 0), MainCommand::kNone) << id;
  }
}

TEST(MainCommandsTest, QualityTextClampsAndRejectsNonNumbers) {
  EXPECT_EQ(QualityFromText("75"), 75);
  EXPECT_EQ(QualityFromText("250"), 100);
  EXPECT_EQ(QualityFromText("100"), 100);
  EXPECT_EQ(QualityFromText("101"), 100);
  EXPECT_EQ(QualityFromText(""), 0);
  EXPECT_EQ(QualityFromText("abc"), 0);
  EXPECT_EQ(QualityFromText("12x"), 0);
  EXPECT_EQ(QualityFromText("-5"), 0);
  EXPECT_EQ(QualityFromText(" 42 "), 42);
  EXPECT_EQ(QualityFromText("007"), 7);
  // Far beyond any integer type: still just "too large".
  EXPECT_EQ(QualityFromText("99999999999999999999999"), 100);
}

TEST(MainCommandsTest, QualityRuleWritesTheValueBack) {
  auto state = MakeAppState();
  test::FakeMainWindow window;
  state->mainWindow = &window;
  window.texts[kQuality] = "250";
  EXPECT_EQ(ApplyQualityRule(*state), 100);
  EXPECT_EQ(state->quality, 100);
  EXPECT_EQ(window.texts[kQuality], "100");
  window.texts[kQuality] = "";
  EXPECT_EQ(ApplyQualityRule(*state), 0);
  EXPECT_EQ(window.texts[kQuality], "0");
}

TEST(MainCommandsTest, HttpBoxSwitchesServerAndSettingsButton) {
  auto state = MakeAppState();
  test::FakeMainWindow window;
  state->mainWindow = &window;
  state->ui = std::make_shared<test::RecordingUiSink>();
  state->httpPort = 0;  // any free port

  window.checked[kEnableHttp] = true;
  ApplyHttpBox(*state);
  EXPECT_EQ(state->http, 1);
  EXPECT_NE(state->listenSocket, kNoSocket);
  EXPECT_FALSE(window.enabled.at(kHttpSettings));

  window.checked[kEnableHttp] = false;
  ApplyHttpBox(*state);
  EXPECT_EQ(state->http, 0);
  EXPECT_EQ(state->listenSocket, kNoSocket);
  EXPECT_TRUE(window.enabled.at(kHttpSettings));
}

TEST(MainCommandsTest, CaptionAndPreviewBoxes) {
  auto state = MakeAppState();
  test::FakeMainWindow window;
  state->mainWindow = &window;
  window.checked[kCaptionImage] = true;
  ApplyCaptionBox(*state);
  EXPECT_EQ(state->caption, 1);
  window.checked[kCaptionImage] = false;
  ApplyCaptionBox(*state);
  EXPECT_EQ(state->caption, 0);

  window.checked[kPreviewVideo] = false;
  ApplyPreviewBox(*state);  // no device: only the frame window follows
  EXPECT_FALSE(window.previewVisible);
  window.checked[kPreviewVideo] = true;
  ApplyPreviewBox(*state);
  EXPECT_TRUE(window.previewVisible);
}

TEST(MainCommandsTest, SettingsShownAsUnsignedNumbers) {
  auto state = MakeAppState();
  test::FakeMainWindow window;
  state->mainWindow = &window;
  state->interval = 600;
  state->quality = -1;  // a stored value is shown as it was saved
  state->saveFile = 1;
  state->http = 1;
  state->caption = 1;
  std::snprintf(state->fileName, sizeof state->fileName, "%s", "/tmp/cam.jpg");
  ShowSettingsInControls(*state);
  EXPECT_EQ(window.texts[kInterval], "600");
  EXPECT_EQ(window.texts[kQuality], "4294967295");
  EXPECT_EQ(window.texts[kFileName], "/tmp/cam.jpg");
  EXPECT_TRUE(window.checked[kSaveFile]);
  EXPECT_FALSE(window.checked[kEnableFtp]);
  EXPECT_TRUE(window.checked[kEnableHttp]);
  EXPECT_TRUE(window.checked[kCaptionImage]);
}

}  // namespace
}  // namespace snapvane
