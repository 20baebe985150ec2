#pragma once
// The program without its window: the state, the event loop, the UI sink, the
// HTTP server, the one-second schedule and the rules for taking pictures. The
// main window and the headless runner both stand on it; it makes no widget and
// shows nothing itself: what a person is to see goes out through its hooks.
#include <QObject>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/capture_schedule.h"
#include "capture/capture_control.h"
#include "capture/capture_device.h"
#include "capture/capture_error.h"

namespace snapvane {

struct AppState;
class AppUiSink;
class QtEventLoop;

class Program : public QObject {
 public:
  struct Options {
    std::unique_ptr<CaptureDevice> device;  // null: OpenDefaultCaptureDevice()
    std::filesystem::path settingsFile;     // empty: SettingsFilePath()
    bool preview = true;                    // the camera's live preview at start
    bool headless = false;                  // no window: the file is the only editor
    CaptionBurner captionBurner = nullptr;  // null: pictures go out without their caption
  };
  // What a window adds; every hook may be empty.
  struct Hooks {
    // After each tick of the schedule (the text and tray icon it shows).
    std::function<void(const Tick& tick)> ticked;
    // Just before a picture: bring the switches in the state up to date.
    std::function<void()> beforePicture;
    // Just after one: OrderPicture may have switched ftp off.
    std::function<void()> afterPicture;
    // Captures began to fail (failing) or work again; line is the log line written.
    std::function<void(const std::string& line, bool failing)> captureHealth;
    // The camera was connected again (after failed captures): its caps and
    // format may have changed, or it may have none now.
    std::function<void()> cameraReconnected;
    // A browser connected.
    std::function<void()> httpAccepted;
  };

  explicit Program(Options options);
  ~Program() override;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }
  const std::shared_ptr<AppState>& State() const { return state_; }
  const std::shared_ptr<AppUiSink>& Sink() const { return sink_; }
  const std::shared_ptr<QtEventLoop>& Loop() const { return loop_; }
  QTimer* Timer() { return &timer_; }
  const std::filesystem::path& SettingsFile() const { return settingsFile_; }
  // Why the test pattern stands in for a camera (empty: it was chosen or given).
  const std::string& PatternReason() const { return patternReason_; }

  // Reads the settings file (a damaged one is kept aside and named in the log)
  // and starts the one-second schedule.
  void Start();
  // SIGHUP: reads the settings file again and applies it (interval, switches,
  // HTTP port and refresh, caption, quality).
  void ReloadSettings();
  // Starts or stops the HTTP server as the http switch says.
  void ApplyHttpSwitch();

  // One tick of the schedule: the countdown and, when due, the timed picture.
  void TimerTick();
  // A picture now (the window's button); the countdown starts over. Its failures
  // are returned for the caller to show, besides the log line.
  CaptureResult TakePictureNow();

  // At exit, in order: stop the schedule; write the settings (headless: what the
  // file holds now, so an edit made while running is never lost); stop serving
  // and wait a bounded time for the workers while events are still handled; end
  // the loop and the sink. The camera goes last (ReleaseCamera).
  void StopSchedule();
  void SaveSettings();
  void Finish();
  void ReleaseCamera();

  // One line for standard error at start: version, camera, outputs, HTTP.
  std::string StartupLine() const;

 private:
  CaptureResult TakePicture(bool timed = false);
  void NoteCapture(const CaptureResult& result);

  std::shared_ptr<AppState> state_;
  std::shared_ptr<QtEventLoop> loop_;
  std::shared_ptr<AppUiSink> sink_;
  std::filesystem::path settingsFile_;
  std::string patternReason_;
  bool headless_ = false;
  QTimer timer_;
  Hooks hooks_;
  CaptureHealth health_;
  uint64_t cameraConnections_ = 0;  // as last shown through the hooks
  bool finished_ = false;
};

// The version, as the build names it.
const char* ProgramVersion();

}  // namespace snapvane
