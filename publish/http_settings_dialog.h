#pragma once
// Dialog 113, "HTTP server settings": port, client pull and its interval.
#include <QDialog>

#include "app/dialog_builder.h"

namespace snapvane {

struct AppState;

class HttpSettingsDialog : public QDialog {
 public:
  HttpSettingsDialog(QWidget* parent, AppState& state);
  const BuiltDialog& Built() const { return built_; }

 private:
  void Accept();

  AppState& state_;
  BuiltDialog built_;
};

// UI thread, modal. The result (1 for OK and Cancel alike) is of no interest.
void RunHttpSettingsDialog(QWidget* parent, AppState& state);

}  // namespace snapvane
