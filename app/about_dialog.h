#pragma once
// The About box (dialog 118): the application icon, name, version and credit,
// and a "Close" button (id 1), the only way to end it.
#include <QDialog>

#include "resources/dialog_builder.h"

namespace snapvane {

class AboutDialog : public QDialog {
 public:
  explicit AboutDialog(QWidget* owner);
  const BuiltDialog& Built() const { return built_; }

 protected:
  void reject() override;  // Escape: nothing
  void closeEvent(QCloseEvent* event) override;

 private:
  BuiltDialog built_;
};

// Runs the box modally, owned by owner.
void RunAboutBox(QWidget* owner);

}  // namespace snapvane
