#pragma once
// The save-file chooser behind the "..." button (control 1007): fills in the
// file-name edit (control 1006) when the user picks a file.
#include <string>

class QFileDialog;
class QWidget;

namespace snapvane {

class MainWindowPort;

inline constexpr int kFileNameEditId = 1006;
inline constexpr size_t kMaxFileNameChars = 259;  // the edit's 260-character buffer

// UI thread, modal. On cancel, or a name too long for the edit, nothing changes.
void ChooseSaveFileName(QWidget* mainWindow, MainWindowPort& port);

// Sets up dialog as the chooser, starting from startName (the edit's text).
void ConfigureSaveFileDialog(QFileDialog& dialog, const std::string& startName);

}  // namespace snapvane
