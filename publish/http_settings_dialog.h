#pragma once
// Dialog 113, "HTTP server settings": port, client pull and its interval, the
// listen address, the password and the live stream.
#include <QDialog>
#include <cstdint>

#include "resources/dialog_builder.h"

namespace snapvane {

struct Settings;

class HttpSettingsDialog : public QDialog {
 public:
  // Edits the HTTP settings in place on OK.
  HttpSettingsDialog(QWidget* parent, Settings& settings);
  const BuiltDialog& Built() const { return built_; }

 private:
  void Accept();

  Settings& settings_;
  BuiltDialog built_;
};

// UI thread, modal. The result (1 for OK and Cancel alike) is of no interest.
void RunHttpSettingsDialog(QWidget* parent, Settings& settings);

}  // namespace snapvane
