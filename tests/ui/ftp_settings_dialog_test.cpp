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
  // {edit, text, refusal}: any field with a line break (setting or pasting can enter
  // one), a password with characters above 127.
  std::vector<std::tuple<int, QString, std::string>> cases{
      {1019, QString::fromUtf8("p\xc3\xa4ss"), "password"}};
  for (int id : {1018, 1019, 1020, 1021, 1022, 1023})
    cases.push_back({id, "x\r\nDELE y", "line break"});
  for (const auto& [id, text, refusal] : cases) {
    FtpSettingsDialog dialog(nullptr, *state);
    EXPECT_EQ(dialog.Edit(id)->maxLength(), id <= 1020 ? 63 : 259) << id;
    dialog.Edit(id)->setText(text);
    boxes.clear();
    dialog.show();
    dialog.Accept();
    ASSERT_EQ(boxes.size(), 1u) << id;
    EXPECT_NE(boxes[0].text.find(refusal), std::string::npos) << id;
    EXPECT_TRUE(dialog.isVisible());  // stays open for a correction
  }
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
