// The FTP settings dialog (114): kept lengths, refusals, OK/Cancel.
#include "publish/ftp_settings_dialog.h"

#include <gtest/gtest.h>

#include <QLineEdit>

#include "app/app_state.h"
#include "app/message_box.h"
#include "publish/ftp_upload.h"

namespace snapvane {
namespace {

TEST(FtpSettingsDialog, LimitsOkCancelAndRefusedLineBreaksAndNonAsciiPasswords) {
  auto state = MakeAppState();
  ApplyFtpSettings(*state, {"cam", "pw", "acct", "ftp.example.org", "cam.jpg", "pics"});
  std::vector<MessageBoxRequest> boxes;
  MessageBoxHandler previous =
      SetMessageBoxHandler([&](const MessageBoxRequest& r) { boxes.push_back(r); });
  for (int id : {1018, 1019, 1020, 1021, 1022, 1023}) {
    FtpSettingsDialog dialog(nullptr, *state);
    EXPECT_EQ(dialog.Edit(id)->maxLength(), id <= 1020 ? 63 : 259) << id;
    dialog.Edit(id)->setText("x\r\nDELE y");  // setting or pasting can enter one
    boxes.clear();
    dialog.Accept();
    ASSERT_EQ(boxes.size(), 1u) << id;
    EXPECT_NE(boxes[0].text.find("line break"), std::string::npos);
  }
  {
    FtpSettingsDialog dialog(nullptr, *state);
    dialog.Edit(1019)->setText(QString::fromUtf8("p\xc3\xa4ss"));
    boxes.clear();
    dialog.show();
    dialog.Accept();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.find("password"), std::string::npos);
    EXPECT_TRUE(dialog.isVisible());  // stays open for a correction
  }
  EXPECT_STREQ(state->ftpUser, "cam");
  EXPECT_STREQ(state->ftpPass, "pw");
  EXPECT_STREQ(state->ftpFile, "cam.jpg");
  FtpSettingsDialog dialog(nullptr, *state);
  boxes.clear();
  dialog.Edit(1022)->setText(QString::fromUtf8("caf\xc3\xa9.jpg"));
  dialog.Accept();
  EXPECT_STREQ(state->ftpFile, "caf\xc3\xa9.jpg");
  EXPECT_TRUE(boxes.empty());
  SetMessageBoxHandler(previous);
}

}  // namespace
}  // namespace snapvane
