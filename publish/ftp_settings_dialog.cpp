#include "publish/ftp_settings_dialog.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

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

}  // namespace

FtpSettingsDialog::FtpSettingsDialog(QWidget* parent, Settings& settings)
    : QDialog(parent), settings_(settings) {
  const Settings& s = settings;
  if (const DialogTemplate* t = FindDialogTemplate(kFtpSettingsDialog)) built_ = BuildDialog(this, *t);
  struct Row {
    int id;
    const char* field;
    size_t capacity;
  };
  const Row rows[] = {{kUser, s.ftpUser, sizeof s.ftpUser},
                      {kPass, s.ftpPass, sizeof s.ftpPass},
                      {kAccount, s.ftpAccount, sizeof s.ftpAccount},
                      {kServer, s.ftpServer, sizeof s.ftpServer},
                      {kDirectory, s.ftpDir, sizeof s.ftpDir},
                      {kFile, s.ftpFile, sizeof s.ftpFile}};
  for (const Row& row : rows) {
    if (QLineEdit* edit = Edit(row.id)) {
      edit->setMaxLength(static_cast<int>(row.capacity - 1));
      edit->setText(Text(row.field, row.capacity));
    }
  }
  if (QLineEdit* pass = Edit(kPass)) pass->setEchoMode(QLineEdit::Password);
  if (auto* ok = built_.ControlAs<QPushButton>(kOk))
    connect(ok, &QPushButton::clicked, this, [this] { Accept(); });
  if (auto* cancel = built_.ControlAs<QPushButton>(kCancel))
    connect(cancel, &QPushButton::clicked, this, [this] { done(1); });
}

QLineEdit* FtpSettingsDialog::Edit(int id) const { return built_.ControlAs<QLineEdit>(id); }

void FtpSettingsDialog::Accept() {
  auto text = [this](int id) {
    QLineEdit* edit = Edit(id);
    return edit ? Utf8ToLocale(edit->text().toStdString()) : std::string();
  };
  FtpSettings settings{text(kUser),   text(kPass), text(kAccount),
                       text(kServer), text(kFile), text(kDirectory)};
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
