#include "publish/http_settings_dialog.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>
#include <cstring>

#include "publish/http_server.h"
#include "resources/dialog_ids.h"
#include "settings/settings.h"

namespace snapvane {
namespace {

using namespace http_control;

template <size_t N>
std::string TextOf(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

template <size_t N>
void Store(char (&field)[N], const std::string& text) {
  std::snprintf(field, N, "%s", text.c_str());
}

}  // namespace

HttpSettingsDialog::HttpSettingsDialog(QWidget* parent, Settings& settings)
    : QDialog(parent), settings_(settings) {
  if (const DialogTemplate* t = FindDialogTemplate(kHttpSettingsDialog))
    built_ = BuildDialog(this, *t);
  const HttpSettingsForm form = HttpSettingsFormOf(settings.httpPort, settings.httpRefresh);
  auto setText = [&](int id, const std::string& text) {
    if (auto* edit = built_.ControlAs<QLineEdit>(id)) edit->setText(QString::fromStdString(text));
  };
  setText(kPort, form.port);
  setText(kRefreshInterval, form.interval);
  if (auto* refresh = built_.ControlAs<QCheckBox>(kRefresh)) refresh->setChecked(form.refresh);
  setText(kAddress, TextOf(settings.httpAddress));
  setText(kUser, TextOf(settings.httpUser));
  // The password itself is never kept: an empty edit keeps the stored one.
  if (auto* password = built_.ControlAs<QLineEdit>(http_control::kPassword))
    password->setPlaceholderText(settings.httpPassHash[0] ? "(unchanged)" : "");
  if (auto* stream = built_.ControlAs<QCheckBox>(kStream)) stream->setChecked(settings.httpStream);
  setText(kStreamFps, std::to_string(StreamFpsOf(settings.httpStreamFps)));
  if (auto* ok = built_.ControlAs<QPushButton>(kOk))
    connect(ok, &QPushButton::clicked, this, [this] { Accept(); });
  if (auto* cancel = built_.ControlAs<QPushButton>(kCancel))
    connect(cancel, &QPushButton::clicked, this, [this] { done(1); });
}

void HttpSettingsDialog::Accept() {
  auto text = [&](int id) {
    auto* edit = built_.ControlAs<QLineEdit>(id);
    return edit ? edit->text().toStdString() : std::string();
  };
  HttpSettingsForm form;
  form.port = text(kPort);
  form.interval = text(kRefreshInterval);
  if (auto* refresh = built_.ControlAs<QCheckBox>(kRefresh)) form.refresh = refresh->isChecked();
  ApplyHttpSettingsForm(form, settings_.httpPort, settings_.httpRefresh);
  Store(settings_.httpAddress, TrimmedText(text(kAddress)));
  const std::string user = TrimmedText(text(kUser));
  Store(settings_.httpPassHash,
        NewHttpPasswordHash(user, text(http_control::kPassword), TextOf(settings_.httpPassHash)));
  Store(settings_.httpUser, user);
  if (auto* stream = built_.ControlAs<QCheckBox>(kStream))
    settings_.httpStream = stream->isChecked();
  settings_.httpStreamFps = StreamFpsOf(static_cast<int32_t>(ReadUnsignedText(text(kStreamFps))));
  done(1);
}

void RunHttpSettingsDialog(QWidget* parent, Settings& settings) {
  HttpSettingsDialog dialog(parent, settings);
  dialog.exec();
}

}  // namespace snapvane
