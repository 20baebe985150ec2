#pragma once
// The FTP settings dialog (114): user name, password, account, server, directory,
// file name, port, transfer mode, TLS and a trusted certificate. OK stores them
// (texts cut to their fields) unless one is refused; Cancel leaves the settings
// alone. "Test" logs in on a worker thread and reports in words.
#include <QDialog>

#include "resources/dialog_builder.h"

class QLineEdit;

#include "publish/ftp_upload.h"

namespace snapvane {

struct Settings;

class FtpSettingsDialog : public QDialog {
 public:
  FtpSettingsDialog(QWidget* parent, Settings& settings);

  QLineEdit* Edit(int id) const;
  // OK: refuses texts that cannot be sent or stored (a message box says why and
  // the dialog stays open); otherwise stores them and ends the dialog with 1.
  void Accept();
  // Starts a login test with what the dialog shows; the answer comes later.
  void Test();
  // Shows a test's outcome; an untrusted certificate is offered for pinning.
  void ShowCheck(const FtpCheckResult& result);

 private:
  FtpSettings Shown() const;

  Settings& settings_;
  BuiltDialog built_;
};

// Opens the dialog modally over parent (UI thread).
void RunFtpSettingsDialog(QWidget* parent, Settings& settings);

}  // namespace snapvane
