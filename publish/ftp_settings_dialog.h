#pragma once
// The FTP settings dialog (114): user name, password, account, server, directory
// and file name. OK stores the texts (cut to their fields) unless one of them
// is refused; Cancel leaves the settings alone.
#include <QDialog>

#include "resources/dialog_builder.h"

class QLineEdit;

namespace snapvane {

struct Settings;

class FtpSettingsDialog : public QDialog {
 public:
  FtpSettingsDialog(QWidget* parent, Settings& settings);

  QLineEdit* Edit(int id) const;
  // OK: refuses texts that cannot be sent or stored (a message box says why and
  // the dialog stays open); otherwise stores them and ends the dialog with 1.
  void Accept();

 private:
  Settings& settings_;
  BuiltDialog built_;
};

// Opens the dialog modally over parent (UI thread).
void RunFtpSettingsDialog(QWidget* parent, Settings& settings);

}  // namespace snapvane
