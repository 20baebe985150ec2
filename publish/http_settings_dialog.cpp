#include "publish/http_settings_dialog.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "publish/http_server.h"
#include "resources/dialog_ids.h"

namespace snapvane {
namespace {

using namespace http_control;

}  // namespace

HttpSettingsDialog::HttpSettingsDialog(QWidget* parent, uint16_t& port, int32_t& refresh)
    : QDialog(parent), port_(port), refresh_(refresh) {
  if (const DialogTemplate* t = FindDialogTemplate(kHttpSettingsDialog))
    built_ = BuildDialog(this, *t);
  const HttpSettingsForm form = HttpSettingsFormOf(port, refresh);
  if (auto* port = built_.ControlAs<QLineEdit>(kPort))
    port->setText(QString::fromStdString(form.port));
  if (auto* interval = built_.ControlAs<QLineEdit>(kRefreshInterval))
    interval->setText(QString::fromStdString(form.interval));
  if (auto* refresh = built_.ControlAs<QCheckBox>(kRefresh)) refresh->setChecked(form.refresh);
  if (auto* ok = built_.ControlAs<QPushButton>(kOk))
    connect(ok, &QPushButton::clicked, this, [this] { Accept(); });
  if (auto* cancel = built_.ControlAs<QPushButton>(kCancel))
    connect(cancel, &QPushButton::clicked, this, [this] { done(1); });
}

void HttpSettingsDialog::Accept() {
  HttpSettingsForm form;
  if (auto* port = built_.ControlAs<QLineEdit>(kPort)) form.port = port->text().toStdString();
  if (auto* interval = built_.ControlAs<QLineEdit>(kRefreshInterval))
    form.interval = interval->text().toStdString();
  if (auto* refresh = built_.ControlAs<QCheckBox>(kRefresh)) form.refresh = refresh->isChecked();
  ApplyHttpSettingsForm(form, port_, refresh_);
  done(1);
}

void RunHttpSettingsDialog(QWidget* parent, uint16_t& port, int32_t& refresh) {
  HttpSettingsDialog dialog(parent, port, refresh);
  dialog.exec();
}

}  // namespace snapvane
