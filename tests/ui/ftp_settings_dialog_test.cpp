// The FTP settings dialog: kept lengths, refusals, what OK stores, the login test.
#include "publish/ftp_settings_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <tuple>

#include "app/app_state.h"
#include "publish/ftp_upload.h"
#include "resources/dialog_ids.h"
#include "tests/publish/scripted_ftp_server.h"
#include "tests/support/sandbox.h"
#include "tests/support/when_modal.h"

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

TEST(FtpSettingsDialog, LimitsRefusalsWhatOkStoresAndTheLoginTest) {
  auto state = MakeAppState();
  ApplyFtpSettings(*state, {"cam", "pw", "acct", "ftp.example.org", "cam.jpg", "pics"});
  BoxRecorder boxes;
  // {edit, text, refusal}: any field with a line break (setting or pasting can enter
  // one), a password with characters above 127, a port out of range, a bad pin.
  std::vector<std::tuple<int, QString, std::string>> cases{
      {kPass, QString::fromUtf8("p\xc3\xa4ss"), "password"},
      {kPort, "0", "port"},
      {kPort, "70000", "port"},
      {kFingerprint, "not a fingerprint", "fingerprint"}};
  for (int id : {kUser, kPass, kAccount, kDirectory, kFile, kServer})
    cases.push_back({id, "x\r\nDELE y", "line break"});
  for (const auto& [id, text, refusal] : cases) {
    FtpSettingsDialog dialog(nullptr, *state);
    EXPECT_TRUE(id > kServer || dialog.Edit(id)->maxLength() == (id <= kAccount ? 63 : 259)) << id;
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

  // Port, mode, TLS and the trusted certificate: shown and stored.
  state->ftpPort = 0;  // as a settings file from before the port setting loads... then 21
  FtpSettingsDialog transfer(nullptr, *state);
  auto* mode = transfer.findChild<QComboBox*>();
  auto* tls = transfer.findChild<QCheckBox*>();
  ASSERT_TRUE(mode && tls);
  EXPECT_EQ(std::tuple(transfer.Edit(kPort)->text(), mode->currentText(), tls->isChecked()),
            std::tuple("21", "Active", false));
  const std::string pin(64, 'a');
  transfer.Edit(kFingerprint)->setText(QString::fromStdString(pin));
  transfer.Edit(kPort)->setText("2121");
  mode->setCurrentIndex(2), tls->setChecked(true);
  transfer.Accept();
  EXPECT_TRUE(boxes.texts.empty());
  EXPECT_EQ(std::tuple(state->ftpPort, state->ftpMode, state->ftpTls), std::tuple(2121, 2, 1));
  EXPECT_EQ(std::string(state->ftpFingerprint), NormaliseFingerprint(pin));

  // The test logs in on a worker and answers in words; the dialog stays live.
  test::ScriptedFtpServer server({});
  FtpSettingsDialog tester(nullptr, *state);
  tester.findChild<QCheckBox*>()->setChecked(false);
  tester.findChild<QComboBox*>()->setCurrentIndex(0);
  tester.Edit(kServer)->setText(QString::fromStdString(server.server()));
  tester.Edit(kDirectory)->setText("pics");
  auto* answer = qobject_cast<QLabel*>(
      tester.findChild<QPushButton*>()->parentWidget()->findChildren<QLabel*>().last());
  tester.Test();
  EXPECT_TRUE(test::WaitFor([&] {
    QApplication::processEvents();
    return answer->text() == "Logged in and changed to the directory pics.";
  })) << answer->text().toStdString();
  server.Finish();
  EXPECT_EQ(server.commands, (std::vector<std::string>{"USER cam", "PASS pw", "CWD pics", "QUIT"}));

  // A refused certificate is offered for pinning; yes puts it in the field.
  boxes.timer.stop();
  test::WhenModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
  const std::string fingerprint = NormaliseFingerprint(std::string(64, 'b'));
  tester.ShowCheck({false, "the server's certificate is not trusted", fingerprint});
  EXPECT_EQ(tester.Edit(kFingerprint)->text().toStdString(), fingerprint);
  EXPECT_EQ(answer->text().toStdString(), "the server's certificate is not trusted");
}

}  // namespace
}  // namespace snapvane
