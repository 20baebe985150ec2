// The FTP settings dialog (114): fields shown, kept lengths, refusals, OK/Cancel.
#include "publish/ftp_settings_dialog.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/app_state.h"
#include "app/fixed_text.h"
#include "app/message_box.h"
#include "publish/ftp_upload.h"

namespace snapvane {
namespace {

class FtpSettingsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ApplyFtpSettings(*state_, {"cam", "pw", "acct", "ftp.example.org", "cam.jpg", "pics"});
    previous_ = SetMessageBoxHandler([this](const MessageBoxRequest& r) { boxes_.push_back(r); });
  }
  void TearDown() override { SetMessageBoxHandler(previous_); }

  QPushButton* Button(FtpSettingsDialog& d, const char* text) {
    for (auto* b : d.findChildren<QPushButton*>())
      if (b->text() == text) return b;
    return nullptr;
  }

  std::shared_ptr<AppState> state_ = MakeAppState();
  std::vector<MessageBoxRequest> boxes_;
  MessageBoxHandler previous_;
};

TEST_F(FtpSettingsDialogTest, ShowsTheFieldsWithTheirLabelsAndLimits) {
  FtpSettingsDialog dialog(nullptr, *state_);
  EXPECT_EQ(dialog.windowTitle(), "FTP Settings");
  const std::pair<int, const char*> shown[] = {{1018, "cam"},  {1019, "pw"},
                                               {1020, "acct"}, {1023, "ftp.example.org"},
                                               {1021, "pics"}, {1022, "cam.jpg"}};
  for (auto [id, text] : shown) {
    ASSERT_NE(dialog.Edit(id), nullptr) << id;
    EXPECT_EQ(dialog.Edit(id)->text(), text) << id;
  }
  EXPECT_EQ(dialog.Edit(1018)->maxLength(), 63);
  EXPECT_EQ(dialog.Edit(1019)->maxLength(), 63);
  EXPECT_EQ(dialog.Edit(1020)->maxLength(), 63);
  for (int id : {1021, 1022, 1023}) EXPECT_EQ(dialog.Edit(id)->maxLength(), 259);
  EXPECT_EQ(dialog.Edit(1019)->echoMode(), QLineEdit::Password);
  QStringList labels;
  for (auto* l : dialog.findChildren<QLabel*>()) labels << l->text();
  for (const char* label : {"Username ", "Password", "Account", "Server", "Directory", "Filename"})
    EXPECT_TRUE(labels.contains(label)) << label;
  ASSERT_NE(Button(dialog, "OK"), nullptr);
  EXPECT_TRUE(Button(dialog, "OK")->isDefault());
}

TEST_F(FtpSettingsDialogTest, OkStoresCancelDoesNot) {
  {
    FtpSettingsDialog dialog(nullptr, *state_);
    dialog.Edit(1023)->setText("127.0.0.1:2121");
    Button(dialog, "Cancel")->click();
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_STREQ(state_->ftpServer, "ftp.example.org");
  }
  {
    FtpSettingsDialog dialog(nullptr, *state_);
    dialog.Edit(1023)->setText("127.0.0.1:2121");
    dialog.Edit(1022)->setText(QString::fromUtf8("caf\xc3\xa9.jpg"));
    dialog.Edit(1021)->setText("");
    Button(dialog, "OK")->click();
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_STREQ(state_->ftpServer, "127.0.0.1:2121");
    EXPECT_STREQ(state_->ftpFile, "caf\xc3\xa9.jpg");
    EXPECT_STREQ(state_->ftpDir, "");
    EXPECT_TRUE(boxes_.empty());
  }
}

TEST_F(FtpSettingsDialogTest, RefusesLineBreaksAndNonAsciiPasswords) {
  for (int id : {1018, 1019, 1020, 1021, 1022, 1023}) {
    FtpSettingsDialog dialog(nullptr, *state_);
    // Typing cannot enter a line break, but setting or pasting text can.
    dialog.Edit(id)->setText("x\r\nDELE y");
    ASSERT_TRUE(dialog.Edit(id)->text().contains('\n')) << id;
    boxes_.clear();
    dialog.Accept();
    ASSERT_EQ(boxes_.size(), 1u) << id;
    EXPECT_NE(boxes_[0].text.find("line break"), std::string::npos);
    EXPECT_STREQ(state_->ftpUser, "cam");
    EXPECT_STREQ(state_->ftpFile, "cam.jpg");
  }
  FtpSettingsDialog dialog(nullptr, *state_);
  dialog.Edit(1019)->setText(QString::fromUtf8("p\xc3\xa4ss"));
  boxes_.clear();
  dialog.show();
  Button(dialog, "OK")->click();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].text.find("password"), std::string::npos);
  EXPECT_EQ(boxes_[0].icon, MessageIcon::kStop);
  EXPECT_TRUE(dialog.isVisible());  // stays open for a correction
  EXPECT_STREQ(state_->ftpPass, "pw");
}

}  // namespace
}  // namespace snapvane
