#include "app/about_dialog.h"

#include <QAbstractButton>
#include <QCloseEvent>

#include "resources/dialog_templates.h"
#include "resources/dialog_ids.h"

namespace snapvane {
namespace {
constexpr int kCloseButton = 1;
}  // namespace

AboutDialog::AboutDialog(QWidget* owner) : QDialog(owner) {
  setModal(true);
  if (const DialogTemplate* t = FindDialogTemplate(kAboutDialog)) built_ = BuildDialog(this, *t);
  if (auto* close = built_.ControlAs<QAbstractButton>(kCloseButton)) {
    connect(close, &QAbstractButton::clicked, this, [this] { done(0); });
  }
}

void AboutDialog::reject() {}

void AboutDialog::closeEvent(QCloseEvent* event) { event->ignore(); }

void RunAboutBox(QWidget* owner) {
  AboutDialog box(owner);
  box.exec();
}

}  // namespace snapvane
