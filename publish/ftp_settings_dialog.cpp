#include "publish/ftp_settings_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <algorithm>
#include <thread>

#include "common/locale_text.h"
#include "publish/ftp_upload.h"
#include "resources/dialog_ids.h"
#include "settings/settings.h"

namespace snapvane {
namespace {

using namespace ftp_control;

QString Text(const char* field, size_t capacity) {
  return QString::fromStdString(LocaleToUtf8(std::string_view(field, strnlen(field, capacity))));
}

constexpr std::chrono::milliseconds kFtpCheckTimeout{10000};  // the dialog's test waits

}  // namespace

FtpSettingsDialog::FtpSettingsDialog(QWidget* parent, Settings& settings)
    : QDialog(parent), settings_(settings) {
  const Settings& s = settings;
  if (const DialogTemplate* t = FindDialogTemplate(kFtpSettingsDialog))
    built_ = BuildDialog(this, *t);
  struct Row {
    int id;
    const char* field;
    size_t capacity;
  };
  const Row rows[] = {
      {kUser, s.ftpUser, sizeof s.ftpUser},          {kPass, s.ftpPass, sizeof s.ftpPass},
      {kAccount, s.ftpAccount, sizeof s.ftpAccount}, {kServer, s.ftpServer, sizeof s.ftpServer},
      {kDirectory, s.ftpDir, sizeof s.ftpDir},       {kFile, s.ftpFile, sizeof s.ftpFile}};
  for (const Row& row : rows) {
    if (QLineEdit* edit = Edit(row.id)) {
      edit->setMaxLength(static_cast<int>(row.capacity - 1));
      edit->setText(Text(row.field, row.capacity));
    }
  }
  if (QLineEdit* pass = Edit(kPass)) pass->setEchoMode(QLineEdit::Password);
  if (QLineEdit* port = Edit(kPort)) {
    port->setMaxLength(5);
    port->setText(QString::number(s.ftpPort != 0 ? s.ftpPort : kFtpDefaultPort));
  }
  if (QLineEdit* pin = Edit(kFingerprint)) {
    pin->setMaxLength(static_cast<int>(sizeof s.ftpFingerprint - 1));
    pin->setText(Text(s.ftpFingerprint, sizeof s.ftpFingerprint));
  }
  const FtpSettings current = CopyFtpSettings(s);
  if (auto* mode = built_.ControlAs<QComboBox>(kMode)) {
    mode->addItems({"Active", "Passive", "Automatic"});
    mode->setCurrentIndex(static_cast<int>(current.mode));
  }
  if (auto* tls = built_.ControlAs<QCheckBox>(kTls)) tls->setChecked(current.tls);
  if (auto* test = built_.ControlAs<QPushButton>(kTest))
    connect(test, &QPushButton::clicked, this, [this] { Test(); });
  if (auto* ok = built_.ControlAs<QPushButton>(kOk))
    connect(ok, &QPushButton::clicked, this, [this] { Accept(); });
  if (auto* cancel = built_.ControlAs<QPushButton>(kCancel))
    connect(cancel, &QPushButton::clicked, this, [this] { done(1); });
}

QLineEdit* FtpSettingsDialog::Edit(int id) const { return built_.ControlAs<QLineEdit>(id); }

FtpSettings FtpSettingsDialog::Shown() const {
  auto text = [this](int id) {
    QLineEdit* edit = Edit(id);
    return edit ? Utf8ToLocale(edit->text().toStdString()) : std::string();
  };
  FtpSettings settings{text(kUser),   text(kPass), text(kAccount),
                       text(kServer), text(kFile), text(kDirectory)};
  if (auto* mode = built_.ControlAs<QComboBox>(kMode))
    settings.mode = static_cast<FtpMode>(std::clamp(mode->currentIndex(), 0, 2));
  if (auto* tls = built_.ControlAs<QCheckBox>(kTls)) settings.tls = tls->isChecked();
  const int port =
      text(kPort).empty() ? kFtpDefaultPort : QString::fromStdString(text(kPort)).toInt();
  settings.port = port >= 1 && port <= 65535 ? static_cast<uint16_t>(port) : 0;
  settings.fingerprint = text(kFingerprint);
  return settings;
}

void FtpSettingsDialog::Test() {
  if (auto* button = built_.ControlAs<QPushButton>(kTest)) button->setEnabled(false);
  if (auto* label = built_.ControlAs<QLabel>(kTestResult)) label->setText("Testing...");
  // The worker owns its copy; the answer is posted to the UI thread and dropped
  // when the dialog has gone meanwhile. Every wait in the check is bounded.
  std::thread([settings = Shown(), dialog = QPointer<FtpSettingsDialog>(this)] {
    FtpLimits limits;
    limits.connectTimeout = limits.replyTimeout = kFtpCheckTimeout;
    FtpCheckResult result = CheckFtpLogin(settings, limits);
    QMetaObject::invokeMethod(
        qApp,
        [dialog, result] {
          if (dialog) dialog->ShowCheck(result);
        },
        Qt::QueuedConnection);
  }).detach();
}

void FtpSettingsDialog::ShowCheck(const FtpCheckResult& result) {
  if (auto* button = built_.ControlAs<QPushButton>(kTest)) button->setEnabled(true);
  if (auto* label = built_.ControlAs<QLabel>(kTestResult)) {
    label->setWordWrap(true);
    label->setText(QString::fromStdString(LocaleToUtf8(result.text)));
  }
  if (result.fingerprint.empty()) return;
  QMessageBox box(this);
  box.setWindowTitle(QStringLiteral("FTP Settings"));
  box.setIcon(QMessageBox::Warning);
  box.setText(
      QString::fromStdString("The server's certificate is not trusted. Its SHA-256 "
                             "fingerprint is\n" +
                             result.fingerprint + "\n\nTrust this certificate for this server?"));
  box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
  box.setDefaultButton(QMessageBox::No);
  if (box.exec() == QMessageBox::Yes)
    if (QLineEdit* pin = Edit(kFingerprint))
      pin->setText(QString::fromStdString(result.fingerprint));
}

void FtpSettingsDialog::Accept() {
  FtpSettings settings = Shown();
  std::string problem = FtpSettingsProblem(settings);
  if (!problem.empty()) {
    QMessageBox box(this);
    box.setText(QString::fromLocal8Bit(problem.data(), static_cast<qsizetype>(problem.size())));
    box.setWindowTitle(QStringLiteral("FTP Settings"));
    box.setIcon(QMessageBox::Critical);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return;
  }
  ApplyFtpSettings(settings_, settings);
  done(1);
}

void RunFtpSettingsDialog(QWidget* parent, Settings& settings) {
  FtpSettingsDialog dialog(parent, settings);
  dialog.exec();
}

}  // namespace snapvane
