#pragma once
// The main window (dialog 101): owns the application state and the capture
// device, runs the one-second timer, the tray icon and the command table, and
// shows the activity log and the transfer progress. Decisions live in
// app/main_commands.h; this class reads the controls and calls them.
#include <QPointer>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_device.h"
#include "capture/capture_error.h"
#include "resources/dialog_builder.h"

class QListView;
class QProgressBar;
class QSystemTrayIcon;
class QTimer;

namespace snapvane {

struct AppState;
class AppUiSink;
class LogModel;
class PreviewWindow;
class Program;
class QtEventLoop;

class MainWindow : public QWidget {
 public:
  struct Options {
    std::unique_ptr<CaptureDevice> device;  // null: OpenDefaultCaptureDevice()
    std::optional<bool> trayAvailable;      // unset: ask the desktop
    std::filesystem::path settingsFile;     // empty: SettingsFilePath()
  };

  // Runs the whole initialisation; the HTTP switch follows as a queued command.
  explicit MainWindow(Options options = {});
  ~MainWindow() override;

  // Called once the window has ended (after the shutdown), with its result.
  void SetEndedCallback(std::function<void(int)> ended) { ended_ = std::move(ended); }
  bool HasEnded() const { return hasEnded_; }
  // Ends the window as "Close" does, first dismissing any modal dialog it runs.
  void RequestClose();

  // One command of the table: control id and notification code.
  void Command(int id, int notification);
  // The tray icon was double-clicked.
  void TrayDoubleClicked();

  const std::shared_ptr<AppState>& State() const { return state_; }
  Program& TheProgram() const { return *program_; }
  // SIGHUP: the settings file read again and shown in the controls.
  void ReloadSettings();
  // The last capture failure or recovery the window was told of (empty: none).
  const std::string& Notice() const { return notice_; }
  const BuiltDialog& Dialog() const { return built_; }
  QWidget* Control(int id) const { return built_.Control(id); }
  UpDownControl* QualitySpinner() const;
  QSystemTrayIcon* Tray() const { return tray_; }
  bool TrayAvailable() const { return trayAvailable_; }
  bool InTray() const { return inTray_; }
  PreviewWindow* Preview() const;
  int TrayIconId() const { return trayIconId_; }
  QTimer* CountdownTimer() const { return timer_; }

  // Brings the log list and the progress bar up to date now.
  void RefreshLog();
  void RefreshProgress();

  // Check boxes, edits, buttons and lists, by control id.
  bool IsChecked(int id) const;
  void SetChecked(int id, bool checked);
  std::string GetText(int id) const;
  void SetText(int id, std::string_view text);
  void SetEnabled(int id, bool enabled);
  int GetSelection(int id) const;  // -1: none
  void SetSelection(int id, int index);
  // Tray icon: icon resource id and tip (at most 63 characters). False when the
  // icon could not be loaded (nothing changed).
  bool SetTrayIcon(int iconId, std::string_view tip);
  // The preview frame: client area one frame, keeping its top-left; shown or hidden.
  void ResizePreview(int width, int height);
  void ShowPreview(bool visible);
  // Beeps and shows one box per error a capture returned, in order ("Take
  // picture now" only: timed and browser captures never wait for a person).
  void ShowCaptureResult(const CaptureResult& result);
  // Captures began to fail or work again: a notice that blocks nothing.
  void ShowCaptureNotice(const std::string& line, bool failing);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Initialise(std::unique_ptr<CaptureDevice> device, const std::filesystem::path& settingsFile);
  // Shows what the camera reports: buttons, preview size, format line.
  void ShowCamera();
  void ShowCameraFormat();
  // The switches from their boxes into the state, just before a picture.
  void ReadSwitches();
  // After the settings are loaded: the switches, interval, quality and file name
  // into their controls (the posted HTTP command aside).
  void ShowSettingsInControls();
  void ConnectControls();
  void InstallToolTips();
  void FollowModels();
  void MinimiseToTray();
  void ShowAgain();
  void EndDialog(int result);
  void Shutdown();

  std::unique_ptr<Program> program_;
  std::shared_ptr<AppState> state_;
  std::shared_ptr<AppUiSink> sink_;
  std::shared_ptr<QtEventLoop> loop_;
  BuiltDialog built_;
  QListView* logList_ = nullptr;
  LogModel* logModel_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QTimer* timer_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  int trayIconId_ = 0;
  std::string trayTip_;
  QPointer<PreviewWindow> preview_;
  int shownTopIndex_ = -1;
  int shownExtent_ = -1;
  bool trayAvailable_ = false;
  bool inTray_ = false;  // minimised (hidden into the tray when there is one)
  bool previewFrameWasShown_ = false;
  bool hasEnded_ = false;
  bool showingCaptureResult_ = false;
  bool closing_ = false;
  std::string notice_;
  std::function<void(int)> ended_;
};

}  // namespace snapvane
