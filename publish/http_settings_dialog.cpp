#include "publish/http_settings_dialog.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "publish/http_server.h"

namespace snapvane {
namespace {

constexpr int kDialogId = 113;
constexpr int kOkId = 1;
constexpr int kCancelId = 2;
constexpr int kPortId = 1011;
constexpr int kRefreshId = 1014;
constexpr int kIntervalId = 1015;

}  // namespace

HttpSettingsDialog::HttpSettingsDialog(QWidget* parent, uint16_t& port, int32_t& refresh)
    : QDialog(parent), port_(port), refresh_(refresh) {
  if (const DialogTemplate* t = FindDialogTemplate(kDialogId)) built_ = BuildDialog(this, *t);
  const HttpSettingsForm form = HttpSettingsFormOf(port, refresh);
  if (auto* port = built_.ControlAs<QLineEdit>(kPortId))
    port->setText(QString::fromStdString(form.port));
  if (auto* interval = built_.ControlAs<QLineEdit>(kIntervalId))
    interval->setText(QString::fromStdString(form.interval));
  if (auto* refresh = built_.ControlAs<QCheckBox>(kRefreshId)) refresh->setChecked(form.refresh);
  if (auto* ok = built_.ControlAs<QPushButton>(kOkId))
    connect(ok, &QPushButton::clicked, this, [this] { Accept(); });
  if (auto* cancel = built_.ControlAs<QPushButton>(kCancelId))
    connect(cancel, &QPushButton::clicked, this, [this] { done(1); });
}

void HttpSettingsDialog::Accept() {
  HttpSettingsForm form;
  if (auto* port = built_.ControlAs<QLineEdit>(kPortId)) form.port = port->text().toStdString();
  if (auto* interval = built_.ControlAs<QLineEdit>(kIntervalId))
    form.interval = interval->text().toStdString();
  if (auto* refresh = built_.ControlAs<QCheckBox>(kRefreshId)) form.refresh = refresh->isChecked();
  ApplyHttpSettingsForm(form, port_, refresh_);
  done(1);
}

void RunHttpSettingsDialog(QWidget* parent, uint16_t& port, int32_t& refresh) {
  HttpSettingsDialog dialog(parent, port, refresh);
  dialog.exec();
}

}  // namespace snapvane
