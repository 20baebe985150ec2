#pragma once
// The save-file chooser behind the "..." button: the name the user picked, for
// the file-name edit.
#include <optional>
#include <string>

class QFileDialog;
class QWidget;

namespace snapvane {

inline constexpr size_t kMaxFileNameChars = 259;  // the edit's 260-character buffer

// UI thread, modal, starting from startName. Nothing on cancel, or for a name
// too long for the edit.
std::optional<std::string> ChooseSaveFileName(QWidget* parent, const std::string& startName);

// Sets up dialog as the chooser, starting from startName (the edit's text).
void ConfigureSaveFileDialog(QFileDialog& dialog, const std::string& startName);

}  // namespace snapvane
