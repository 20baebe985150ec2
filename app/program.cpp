#include "app/program.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>

#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/app_ui_sink.h"
#include "app/main_commands.h"
#include "app/qt_event_loop.h"
#include "app/transfer_progress.h"
#include "capture/capture_control.h"
#include "common/fixed_text.h"
#include "common/time_text.h"
#include "common/worker_threads.h"
#include "publish/archive.h"
#include "publish/http_server.h"
#include "publish/snapshot.h"
#include "settings/settings_store.h"

#ifndef SNAPVANE_VERSION
#define SNAPVANE_VERSION "1.0"
#endif

namespace snapvane {

// How long the shutdown keeps serving events while workers finish. Closing takes
// well under a second, whatever the peers do: a publisher still running then is
// abandoned (its snapshot file is deleted all the same).
inline constexpr std::chrono::milliseconds kWorkerShutdownWait{400};
inline constexpr std::chrono::milliseconds kWorkerPollSlice{20};

namespace {

constexpr std::chrono::milliseconds kHostNamePeriod{100};

// The settings the HTTP listener is started with.
auto HttpOffered(const Settings& s) {
  return std::tuple(s.http, s.httpPort, s.httpRefresh, std::string(s.httpAddress),
                    std::string(s.httpUser), std::string(s.httpPassHash), s.httpStream,
                    s.httpStreamFps);
}

}  // namespace

const char* ProgramVersion() { return SNAPVANE_VERSION; }

Program::Program(Options options)
    : settingsFile_(options.settingsFile.empty() ? SettingsFilePath() : options.settingsFile),
      headless_(options.headless) {
  RemoveStaleSnapshotFiles();  // what a killed earlier run left in the temporary folder
  state_ = MakeAppState();
  loop_ = std::make_shared<QtEventLoop>();
  sink_ = std::make_shared<AppUiSink>(state_->log, state_->transfers);
  // Host names are filled in as often as the log is redrawn, however many come.
  sink_->SetHostNameWake(
      ThrottledPoster(loop_, nullptr, kHostNamePeriod, [sink = std::weak_ptr<AppUiSink>(sink_)] {
        if (auto s = sink.lock()) s->CompleteHostNames();
      }));
  AttachUi(*state_, sink_);

  HttpServer::Hooks httpHooks;
  std::weak_ptr<Snapshots> weakSnapshots = state_->snapshots;
  httpHooks.acquireSnapshot = [this, weakSnapshots](std::chrono::milliseconds freshFor) {
    auto snapshots = weakSnapshots.lock();
    if (!snapshots) return SnapshotUse();
    SnapshotUse use = AcquireSnapshotForClient(*snapshots, freshFor);
    // Reported from the loop: the browser gets its answer first, and nobody waits.
    CaptureResult result = use.TakeCaptureResult();
    if (!result.errors.empty() || result.ok)
      loop_->Post([this, result = std::move(result)] { NoteCapture(result); });
    return use;
  };
  httpHooks.shareSnapshot = [weakSnapshots](std::chrono::milliseconds freshFor) {
    auto snapshots = weakSnapshots.lock();
    return snapshots ? ShareFreshSnapshot(*snapshots, freshFor) : SnapshotUse();
  };
  httpHooks.onAccept = [this] {
    if (hooks_.httpAccepted) hooks_.httpAccepted();
  };
  state_->httpServer =
      std::make_shared<HttpServer>(*loop_, sink_, state_->workers, std::move(httpHooks));

  std::unique_ptr<CaptureDevice> device = std::move(options.device);
  if (!device) device = OpenDefaultCaptureDevice(patternReason_);
  state_->camera = Camera(std::move(device));
  state_->camera.SetCaptionBurner(options.captionBurner);
  state_->camera.Connect(options.preview);
  cameraConnections_ = state_->camera.Connections();

  timer_.setInterval(kTimerPeriodMs);
  connect(&timer_, &QTimer::timeout, this, [this] { TimerTick(); });
}

Program::~Program() {
  if (!finished_) {
    StopSchedule();
    Finish();
  }
}

void Program::Start() {
  const std::filesystem::path keptDamaged = LoadSettingsFrom(*state_, settingsFile_);
  if (!keptDamaged.empty())
    state_->log->AddLogLine(
        -1, "!!!Settings file damaged!!! (kept as " + keptDamaged.string() + ") - " + NowText());
  timer_.start();
}

void Program::ReloadSettings() {
  AppState& state = *state_;
  const auto wasOffered = HttpOffered(state);
  const int32_t wasInterval = state.interval;
  const std::filesystem::path keptDamaged = LoadSettingsFrom(state, settingsFile_);
  if (!keptDamaged.empty())
    state.log->AddLogLine(
        -1, "!!!Settings file damaged!!! (kept as " + keptDamaged.string() + ") - " + NowText());
  // A shorter interval cuts the running countdown short, as typing it would.
  if (state.interval != wasInterval &&
      (state.secondsRemaining > state.interval || state.secondsRemaining <= 0))
    state.secondsRemaining = state.interval;
  state.log->AddLogLine(-1,
                        "Settings read again from " + settingsFile_.string() + " - " + NowText());
  // Any change to what the listener offers takes effect now: a start replaces a
  // running listener.
  if (HttpOffered(state) != wasOffered) ApplyHttpSwitch();
}

void Program::ApplyHttpSwitch() {
  if (state_->http) {
    EnableHttp(*state_);  // a failure is logged by the server itself
  } else {
    DisableHttp(*state_);
  }
}

void Program::TimerTick() {
  if (finished_) return;
  const Tick tick = CountdownTick(*state_);
  CaptureResult captured;
  if (tick.capture) captured = TakePicture(/*timed=*/true);
  if (hooks_.ticked) hooks_.ticked(tick);
  ExpireSnapshotHold(*state_->snapshots);
  if (tick.capture) NoteCapture(captured);
}

CaptureResult Program::TakePicture(bool timed) {
  if (hooks_.beforePicture) hooks_.beforePicture();
  const PublishOrder order = OrderPicture(*state_);
  if (hooks_.afterPicture) hooks_.afterPicture();
  CaptureResult result = snapvane::TakePicture(*state_->snapshots, order);
  // Timed pictures also go to the archive: the capture just made is current
  // and fresh, so this shares it.
  if (timed && result.ok && state_->archive && state_->archivePattern[0]) {
    auto use = std::make_shared<SnapshotUse>(AcquireSnapshotForClient(*state_->snapshots));
    if (use->captured())
      StartWorker(state_->workers,
                  [use, ui = state_->ui, pattern = std::string(FieldText(state_->archivePattern)),
                   days = state_->archiveDays] {
                    ArchiveWorker(ui.get(), std::move(*use), pattern, days);
                  });
  }
  return result;
}

CaptureResult Program::TakePictureNow() {
  CaptureResult captured = TakePicture();
  state_->secondsRemaining = state_->interval;
  NoteCapture(captured);
  return captured;
}

void Program::NoteCapture(const CaptureResult& result) {
  if (finished_) return;
  // A capture after a failure reconnects the camera first, whatever its outcome.
  if (state_->camera.Connections() != cameraConnections_) {
    cameraConnections_ = state_->camera.Connections();
    if (hooks_.cameraReconnected) hooks_.cameraReconnected();
  }
  std::string line;
  switch (health_.Observe(result)) {
    case CaptureHealth::Change::kNone:
      return;
    case CaptureHealth::Change::kFailing:
      line = CaptureFailedLine(result, NowText());
      break;
    case CaptureHealth::Change::kRecovered:
      line = CaptureRecoveredLine(NowText());
      break;
  }
  state_->log->AddLogLine(-1, line);
  if (hooks_.captureHealth) hooks_.captureHealth(line, health_.Failing());
}

void Program::StopSchedule() { timer_.stop(); }

void Program::SaveSettings() {
  if (!headless_) {
    SaveSettingsTo(*state_, settingsFile_);
    return;
  }
  // Nothing is edited while headless but the file itself: write back what it
  // holds now (completed with the defaults), never what was read at start.
  Settings current;
  (void)LoadSettingsFrom(current, settingsFile_);
  SaveSettingsTo(current, settingsFile_);
}

void Program::Finish() {
  if (finished_) return;
  timer_.stop();
  DisableHttp(*state_);
  ExpireSnapshotHold(*state_->snapshots, /*always=*/true);
  // Workers hold the state themselves; give them a bounded time to finish while
  // the loop keeps serving (their log lines and progress still arrive).
  QElapsedTimer waited;
  waited.start();
  while (!WaitForWorkers(*state_->workers, std::chrono::milliseconds(0)) &&
         waited.elapsed() < kWorkerShutdownWait.count()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, kWorkerPollSlice.count());
    WaitForWorkers(*state_->workers, kWorkerPollSlice);
  }
  // From here on workers only free what they send.
  state_->snapshots->DeleteAll();
  loop_->End();
  sink_->CompleteHostNames();  // the visits whose names came in are logged whole
  sink_->Detach();
  finished_ = true;
}

void Program::ReleaseCamera() { state_->camera.Release(); }

std::string Program::StartupLine() const {
  const AppState& s = *state_;
  std::string line = "Snapvane " SNAPVANE_VERSION ": camera ";
  const CaptureDevice* device = s.camera.Device();
  if (!patternReason_.empty()) {
    line += "test pattern (" + patternReason_ + ")";
  } else if (device) {
    line += device->Name();
  } else {
    line += "none";
  }
  if (const std::optional<FrameGeometry> format = s.camera.Format()) {
    line += " " + std::to_string(format->width) + "x" + std::to_string(format->height) + "x" +
            std::to_string(format->depth);
  } else {
    line += " without a usable format";
  }
  line += "; every " + std::to_string(s.interval) + " s";
  if (s.interval <= 0) line += " (no timed pictures)";
  line += "; local copy ";
  line += s.saveFile ? FieldText(s.fileName) : std::string_view("off");
  line += "; FTP ";
  line += s.ftp ? FieldText(s.ftpServer) : std::string_view("off");
  line += "; HTTP ";
  if (s.http && s.httpServer && s.httpServer->listening()) {
    const std::string address(FieldText(s.httpAddress));
    line += "on " + (address.empty() ? std::string("every address") : address) + ", port " +
            std::to_string(s.httpServer->port());
  } else if (s.http) {
    line += "not listening (port " + std::to_string(s.httpPort) + ")";
  } else {
    line += "off";
  }
  return line;
}

}  // namespace snapvane
