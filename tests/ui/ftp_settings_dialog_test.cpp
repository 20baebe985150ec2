// The FTP settings dialog: kept lengths, refusals, OK/Cancel.
#include "publish/ftp_settings_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include "app/app_state.h"
#include "publish/ftp_upload.h"
#include "resources/dialog_ids.h"

namespace snapvane {
namespace {

using namespace ftp_control;

// Records and closes every box the dialog opens (each runs its own loop).
struct BoxRecorder {
  std::vector<std::string> texts, titles;
  QTimer timer;
  BoxRecorder() {
    timer.setInterval(1);
    QObject::connect(&timer, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        texts.push_back(box->text().toStdString());
        titles.push_back(box->windowTitle().toStdString());
        box->accept();
      }
    });
    timer.start();
  }
};

TEST(FtpSettingsDialog, LimitsOkCancelAndRefusedLineBreaksAndNonAsciiPasswords) {
  auto state = MakeAppState();
  ApplyFtpSettings(*state, {"cam", "pw", "acct", "ftp.example.org", "cam.jpg", "pics"});
  BoxRecorder boxes;
  // {edit, text, refusal}: any field with a line break (setting or pasting can enter
  // one), a password with characters above 127.
  std::vector<std::tuple<int, QString, std::string>> cases{
      {1019, QString::fromUtf8("p\xc3\xa4ss"), "password"}};
  for (int id : {kUser, kPass, kAccount, kDirectory, kFile, kServer})
    cases.push_back({id, "x\r\nDELE y", "line break"});
  for (const auto& [id, text, refusal] : cases) {
    FtpSettingsDialog dialog(nullptr, *state);
    EXPECT_EQ(dialog.Edit(id)->maxLength(), id <= kAccount ? 63 : 259) << id;
    dialog.Edit(id)->setText(text);
    boxes.texts.clear(), boxes.titles.clear();
    dialog.show();
    dialog.Accept();
    ASSERT_EQ(boxes.texts.size(), 1u) << id;
    EXPECT_NE(boxes.texts[0].find(refusal), std::string::npos) << id;
    EXPECT_EQ(boxes.titles[0], "FTP Settings");
    EXPECT_TRUE(dialog.isVisible());  // stays open for a correction
  }
  EXPECT_STREQ(state->ftpPass, "pw");
  EXPECT_STREQ(state->ftpFile, "cam.jpg");
  FtpSettingsDialog dialog(nullptr, *state);
  boxes.texts.clear();
  dialog.Edit(kFile)->setText(QString::fromUtf8("caf\xc3\xa9.jpg"));
  dialog.Accept();
  EXPECT_STREQ(state->ftpFile, "caf\xc3\xa9.jpg");
  EXPECT_TRUE(boxes.texts.empty());
}

}  // namespace
}  // namespace snapvane
