#include "app/main_commands.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "app/app_state.h"
#include "common/fixed_text.h"
#include "publish/ftp_upload.h"

namespace snapvane {
namespace {

// Digits only, blanks around allowed, clamped to 100 with no overflow on long input.
TEST(MainCommandsTest, QualityFromTextClamps) {
  const std::pair<const char*, int> cases[] = {
      {"75", 75}, {"250", 100}, {"abc", 0}, {"12x", 0},
      {"-5", 0},  {" 42 ", 42}, {"", 0},    {"99999999999999999999999", 100}};
  for (auto [text, quality] : cases) EXPECT_EQ(QualityFromText(text), quality) << text;
}

// The local copy needs a name; the upload a user, a file and a server, else its
// switch goes off.
TEST(MainCommandsTest, OrderPictureSwitchesOffWhatCannotBeDone) {
  auto state = MakeAppState();
  state->saveFile = 1;
  state->ftp = 1;
  CopyText(state->ftpUser, "u");
  CopyText(state->ftpServer, "h");
  PublishOrder order = OrderPicture(*state);
  EXPECT_FALSE(order.saveFile || order.ftp);
  EXPECT_EQ(state->saveFile + state->ftp, 0);

  state->saveFile = state->ftp = 1;
  CopyText(state->fileName, "/tmp/cam.jpg");
  CopyText(state->ftpFile, "cam.jpg");
  order = OrderPicture(*state);
  EXPECT_TRUE(order.saveFile && order.ftp);
  EXPECT_EQ(order.fileName, "/tmp/cam.jpg");
  ASSERT_TRUE(order.ftpSettings);
  EXPECT_EQ(order.ftpSettings->server + order.ftpSettings->file, "hcam.jpg");
}

}  // namespace
}  // namespace snapvane
