#pragma once
// Dialog 113, "HTTP server settings": port, client pull and its interval.
#include <QDialog>
#include <cstdint>

#include "resources/dialog_builder.h"

namespace snapvane {

class HttpSettingsDialog : public QDialog {
 public:
  // Edits port and refresh (the client-pull seconds, 0: off) in place on OK.
  HttpSettingsDialog(QWidget* parent, uint16_t& port, int32_t& refresh);
  const BuiltDialog& Built() const { return built_; }

 private:
  void Accept();

  uint16_t& port_;
  int32_t& refresh_;
  BuiltDialog built_;
};

// UI thread, modal. The result (1 for OK and Cancel alike) is of no interest.
void RunHttpSettingsDialog(QWidget* parent, uint16_t& port, int32_t& refresh);

}  // namespace snapvane
