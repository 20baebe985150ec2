#pragma once
// What the plain logic asks of the main window, by control id, on the UI thread
// only. The Qt main window implements it; tests use tests/support/fake_main_window.h.
#include <string>
#include <string_view>

#include "capture/capture_error.h"

namespace snapvane {

class MainWindowPort {
 public:
  virtual ~MainWindowPort() = default;

  // Check boxes, edits, buttons and lists of the main window, by control id.
  virtual bool IsChecked(int id) const = 0;
  virtual void SetChecked(int id, bool checked) = 0;
  virtual std::string GetText(int id) const = 0;
  virtual void SetText(int id, std::string_view text) = 0;
  virtual void SetEnabled(int id, bool enabled) = 0;
  virtual int GetSelection(int id) const = 0;  // -1: none
  virtual void SetSelection(int id, int index) = 0;

  // Tray icon 1: icon resource id and tip (at most 63 characters). False when the
  // icon could not be loaded (nothing changed).
  virtual bool SetTrayIcon(int iconId, std::string_view tip) = 0;

  // The preview frame window: client area resized to exactly one frame, keeping
  // its top-left corner; shown or hidden.
  virtual void ResizePreview(int width, int height) = 0;
  virtual void ShowPreview(bool visible) = 0;
};

}  // namespace snapvane
