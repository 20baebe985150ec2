#include "publish/save_file_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include "common/locale_text.h"

namespace snapvane {

void ConfigureSaveFileDialog(QFileDialog& dialog, const std::string& startName) {
  dialog.setWindowTitle(QStringLiteral("Save Captured Image As"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  // The folder must exist; the file need not. Overwriting is confirmed (default).
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters(
      {QStringLiteral("JFIF Jpeg Files (*.jpg *.jpeg)"), QStringLiteral("All Files (*.*)")});
  dialog.selectNameFilter(QStringLiteral("JFIF Jpeg Files (*.jpg *.jpeg)"));
  dialog.setDefaultSuffix(QStringLiteral("jpg"));
  if (!startName.empty()) {
    const QFileInfo start(QString::fromStdString(LocaleToUtf8(startName)));
    if (QDir(start.absolutePath()).exists()) dialog.setDirectory(start.absolutePath());
    dialog.selectFile(start.fileName());
  }
}

std::optional<std::string> ChooseSaveFileName(QWidget* parent, const std::string& startName) {
  QFileDialog dialog(parent);
  ConfigureSaveFileDialog(dialog, startName);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  const std::string path = Utf8ToLocale(QDir::toNativeSeparators(chosen.first()).toStdString());
  if (path.empty() || path.size() > kMaxFileNameChars) return std::nullopt;
  return path;
}

}  // namespace snapvane
