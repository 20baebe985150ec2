#include "publish/ftp_settings_dialog.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "common/locale_text.h"
#include "publish/ftp_upload.h"
#include "settings/settings.h"

namespace snapvane {
namespace {

constexpr int kDialogId = 114;
constexpr int kOkId = 1;
constexpr int kCancelId = 2;
constexpr int kUserId = 1018;
constexpr int kPassId = 1019;
constexpr int kAccountId = 1020;
constexpr int kDirId = 1021;
constexpr int kFileId = 1022;
constexpr int kServerId = 1023;

QString Text(const char* field, size_t capacity) {
  return QString::fromStdString(LocaleToUtf8(std::string_view(field, strnlen(field, capacity))));
}

}  // namespace

FtpSettingsDialog::FtpSettingsDialog(QWidget* parent, Settings& settings)
    : QDialog(parent), settings_(settings) {
  const Settings& s = settings;
  if (const DialogTemplate* t = FindDialogTemplate(kDialogId)) built_ = BuildDialog(this, *t);
  struct Row {
    int id;
    const char* field;
    size_t capacity;
  };
  const Row rows[] = {{kUserId, s.ftpUser, sizeof s.ftpUser},
                      {kPassId, s.ftpPass, sizeof s.ftpPass},
                      {kAccountId, s.ftpAccount, sizeof s.ftpAccount},
                      {kServerId, s.ftpServer, sizeof s.ftpServer},
                      {kDirId, s.ftpDir, sizeof s.ftpDir},
                      {kFileId, s.ftpFile, sizeof s.ftpFile}};
  for (const Row& row : rows) {
    if (QLineEdit* edit = Edit(row.id)) {
      edit->setMaxLength(static_cast<int>(row.capacity - 1));
      edit->setText(Text(row.field, row.capacity));
    }
  }
  if (QLineEdit* pass = Edit(kPassId)) pass->setEchoMode(QLineEdit::Password);
  if (auto* ok = built_.ControlAs<QPushButton>(kOkId))
    connect(ok, &QPushButton::clicked, this, [this] { Accept(); });
  if (auto* cancel = built_.ControlAs<QPushButton>(kCancelId))
    connect(cancel, &QPushButton::clicked, this, [this] { done(1); });
}

QLineEdit* FtpSettingsDialog::Edit(int id) const { return built_.ControlAs<QLineEdit>(id); }

void FtpSettingsDialog::Accept() {
  auto text = [this](int id) {
    QLineEdit* edit = Edit(id);
    return edit ? Utf8ToLocale(edit->text().toStdString()) : std::string();
  };
  FtpSettings settings{text(kUserId),   text(kPassId), text(kAccountId),
                       text(kServerId), text(kFileId), text(kDirId)};
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
