#include "app/main_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <unordered_map>

#include "app/about_dialog.h"
#include "app/activity_log.h"
#include "app/app_state.h"
#include "app/app_ui_sink.h"
#include "app/caption_burner.h"
#include "app/capture_schedule.h"
#include "app/log_model.h"
#include "app/main_commands.h"
#include "app/program.h"
#include "app/qt_event_loop.h"
#include "app/transfer_progress.h"
#include "capture/caption_dialog.h"
#include "capture/caption_overlay.h"
#include "capture/capture_control.h"
#include "capture/capture_device.h"
#include "capture/driver_dialogs.h"
#include "capture/preview_window.h"
#include "common/fixed_text.h"
#include "common/locale_text.h"
#include "common/time_text.h"
#include "common/worker_threads.h"
#include "publish/ftp_settings_dialog.h"
#include "publish/http_server.h"
#include "publish/http_settings_dialog.h"
#include "publish/save_file_dialog.h"
#include "publish/snapshot.h"
#include "resources/dialog_templates.h"
#include "resources/string_table.h"
#include "settings/settings_store.h"

namespace snapvane {

// How long a capture notice stays up in the tray.
inline constexpr int kNoticeShownMs = 10000;
inline constexpr int kTrayTipMaxChars = 63;
inline constexpr int kLogItemPadding = 8;  // pixels beside the widest line

// Between redraws of the log list and of the progress bar.
inline constexpr std::chrono::milliseconds kViewRefreshPeriod{100};
inline constexpr char kHttpTrayTip[] = "HTTP access";

namespace {

// 8-bit text is in the locale's character set, not necessarily UTF-8.
QString FromText(std::string_view text) { return QString::fromStdString(LocaleToUtf8(text)); }

std::string ToText(const QString& text) { return Utf8ToLocale(text.toStdString()); }

// Widths of log lines in the list's font. Visit lines differ mostly in their
// digits (address, time); when every digit has the same advance, as in most
// fonts, lines that differ only in digits share one measurement.
class LineWidths {
 public:
  explicit LineWidths(const QFont& font) : metrics_(font) {
    const int zero = metrics_.horizontalAdvance(QLatin1Char('0'));
    sameDigits_ = true;
    for (char d = '1'; d <= '9'; ++d)
      sameDigits_ =
          sameDigits_ && metrics_.horizontalAdvance(QLatin1Char(d)) == zero &&
          metrics_.horizontalAdvance(QString(QLatin1Char(d)) + QLatin1Char(d)) == 2 * zero;
  }
  int Of(const std::string& line) {
    std::string key = line;
    if (sameDigits_)
      for (char& c : key)
        if (c >= '1' && c <= '9') c = '0';
    {
      std::lock_guard guard(mutex_);
      if (auto known = widths_.find(key); known != widths_.end()) return known->second;
    }
    const int width = metrics_.horizontalAdvance(FromText(key));
    std::lock_guard guard(mutex_);
    if (widths_.size() >= kKept) widths_.clear();
    widths_.emplace(std::move(key), width);
    return width;
  }

 private:
  static constexpr size_t kKept = 256;
  const QFontMetrics metrics_;
  bool sameDigits_ = false;
  std::mutex mutex_;
  std::unordered_map<std::string, int> widths_;
};

// The builder makes list boxes as item widgets, which keep one object per line.
// The log's list is a plain view instead, in the same place, look and tab order.
QListView* ReplaceByListView(BuiltDialog& built, int id) {
  auto* old = built.ControlAs<QListWidget>(id);
  if (!old) return nullptr;
  auto* view = new QListView(old->parentWidget());
  view->setObjectName(old->objectName());
  view->setGeometry(old->geometry());
  view->setSelectionMode(old->selectionMode());
  view->setVerticalScrollBarPolicy(old->verticalScrollBarPolicy());
  view->setHorizontalScrollBarPolicy(old->horizontalScrollBarPolicy());
  view->setFrameShape(old->frameShape());
  view->setFocusPolicy(old->focusPolicy());
  view->setUniformItemSizes(true);  // the extent alone sets the scroll width
  QWidget::setTabOrder(old, view);  // takes the old one's place when it goes
  view->setVisible(old->isVisibleTo(old->parentWidget()));
  std::replace(built.controls.begin(), built.controls.end(), static_cast<QWidget*>(old),
               static_cast<QWidget*>(view));
  for (auto& [key, control] : built.byId)
    if (control == old) control = view;
  delete old;
  return view;
}

}  // namespace

MainWindow::MainWindow(Options options) : QWidget(nullptr) {
  trayAvailable_ = options.trayAvailable.value_or(QSystemTrayIcon::isSystemTrayAvailable());
  Initialise(std::move(options.device), options.settingsFile);
}

MainWindow::~MainWindow() {
  if (!hasEnded_) Shutdown();
  // The preview frame uses the device, which goes with this object's members.
  delete preview_.data();
}

PreviewWindow* MainWindow::Preview() const { return preview_.data(); }

UpDownControl* MainWindow::QualitySpinner() const {
  return built_.ControlAs<UpDownControl>(main_control::kQualitySpin);
}

void MainWindow::Initialise(std::unique_ptr<CaptureDevice> device,
                            const std::filesystem::path& settingsFile) {
  using namespace main_control;
  const DialogTemplate* dialog = FindDialogTemplate(kMainDialog);
  if (dialog) built_ = BuildDialog(this, *dialog);
  setAttribute(Qt::WA_AlwaysShowToolTips);
  setWindowIcon(LoadIconResource(kAppIcon));
  logList_ = ReplaceByListView(built_, kLog);
  progress_ = built_.ControlAs<QProgressBar>(kProgress);
  if (auto* fileName = built_.ControlAs<QLineEdit>(kFileName)) {
    fileName->setMaxLength(static_cast<int>(sizeof(AppState::fileName)) - 1);
  }

  // The program itself: state, loop, sink, HTTP server, camera and schedule.
  Program::Options programOptions;
  programOptions.device = std::move(device);
  programOptions.settingsFile = settingsFile;
  programOptions.captionBurner = &BurnCaptionWhenPossible;
  program_ = std::make_unique<Program>(std::move(programOptions));
  state_ = program_->State();
  loop_ = program_->Loop();
  sink_ = program_->Sink();
  Program::Hooks hooks;
  hooks.ticked = [this](const Tick& tick) {
    SetText(main_control::kTimeRemaining, tick.text);
    // A failed icon load leaves the tray as it was; the countdown goes on.
    SetTrayIcon(tick.trayIcon, tick.text.substr(0, kTrayTipMaxChars));
  };
  hooks.beforePicture = [this] { ReadSwitches(); };
  hooks.afterPicture = [this] {
    if (IsChecked(main_control::kEnableFtp) && !state_->ftp)
      SetChecked(main_control::kEnableFtp, false);
  };
  hooks.captureHealth = [this](const std::string& line, bool failing) {
    ShowCaptureNotice(line, failing);
  };
  hooks.cameraReconnected = [this] {
    if (!hasEnded_ && !closing_) ShowCamera();
  };
  hooks.httpAccepted = [this] { SetTrayIcon(kHttpAccessIcon, kHttpTrayTip); };
  program_->SetHooks(std::move(hooks));
  FollowModels();

  // The preview frame shows what the camera (connected by the program) sends.
  preview_ = CreatePreviewWindow(this, state_->camera);
  ShowCamera();

  SetChecked(kPreviewVideo, true);
  InstallToolTips();

  if (auto* units = built_.ControlAs<QComboBox>(kIntervalUnit)) {
    for (const char* unit : kIntervalUnits) units->addItem(QString::fromLatin1(unit));
    units->setCurrentIndex(0);
  }

  tray_ = new QSystemTrayIcon(this);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::DoubleClick) TrayDoubleClicked();
  });
  SetTrayIcon(kAppIcon, kTrayTip);
  if (trayAvailable_) tray_->show();

  program_->Start();  // the settings, then the one-second timer
  timer_ = program_->Timer();
  ShowSettingsInControls();
  // The HTTP switch runs once the initialisation is over, as a queued command.
  QMetaObject::invokeMethod(
      this, [this] { Command(kEnableHttp, notify::kClicked); }, Qt::QueuedConnection);
  if (UpDownControl* spin = QualitySpinner())
    spin->SetRange(kQualitySpinMinimum, kQualitySpinMaximum);

  ConnectControls();
}

void MainWindow::ConnectControls() {
  using namespace main_control;
  for (const auto& [id, widget] : built_.byId) {
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      const int commandId = id;
      connect(button, &QAbstractButton::clicked, this,
              [this, commandId] { Command(commandId, notify::kClicked); });
    }
  }
  if (auto* units = built_.ControlAs<QComboBox>(kIntervalUnit)) {
    connect(units, &QComboBox::activated, this,
            [this] { Command(kIntervalUnit, notify::kSelChange); });
  }
  for (int id : {kInterval, kQuality}) {
    if (QWidget* edit = built_.Control(id)) edit->installEventFilter(this);
  }
  // The spinner's arrows take no focus, so the box would never lose it: a step
  // applies the quality rule at once.
  if (UpDownControl* spin = QualitySpinner())
    spin->SetChangedCallback([this](int) { Command(kQuality, notify::kKillFocus); });
}

void MainWindow::InstallToolTips() {
  using namespace main_control;
  // Every control in the range gets its own string; the format label keeps its
  // tip but passes the mouse through, so it never shows. The spinner lies outside.
  for (int id = kFirstTip; id <= kLastTip; ++id) {
    if (QWidget* control = built_.Control(id)) control->setToolTip(FromText(LoadString(id)));
  }
}

void MainWindow::FollowModels() {
  if (logList_) {
    logModel_ = new LogModel(state_->log, logList_);
    logList_->setModel(logModel_);
    const QFont font = logList_->font();
    auto widths = std::make_shared<LineWidths>(font);
    state_->log->SetMeasure([widths](const std::string& line) { return widths->Of(line); },
                            QFontMetrics(font).maxWidth());
  }
  state_->log->SetEcho(true);
  // However fast visits come, the list is redrawn at most ten times a second.
  state_->log->SetChangedCallback(
      ThrottledPoster(loop_, this, kViewRefreshPeriod, [this] { RefreshLog(); }));
  // The bar too: every HTTP answer moves it, and each repaint of it costs more
  // than serving the picture.
  state_->transfers->SetChangedCallback(
      ThrottledPoster(loop_, this, kViewRefreshPeriod, [this] { RefreshProgress(); }));
}

void MainWindow::RefreshLog() {
  if (!logModel_ || !state_) return;
  logModel_->Follow();
  const int count = logModel_->rowCount();
  const int extent = state_->log->LogExtent();
  if (extent != shownExtent_) {
    logModel_->SetRowSize(QSize(extent + kLogItemPadding, logList_->fontMetrics().height()));
    shownExtent_ = extent;
  }
  const int top = state_->log->TopIndex();
  if (top != shownTopIndex_ && top >= 0 && top < count) {
    logList_->scrollTo(logModel_->index(top), QAbstractItemView::PositionAtTop);
    shownTopIndex_ = top;
  }
}

void MainWindow::RefreshProgress() {
  if (!progress_ || !state_) return;
  const TransferProgress::Bar bar = state_->transfers->Current();
  // An empty range would make the bar a busy indicator; it shows empty instead.
  if (bar.range <= 0) {
    progress_->setRange(0, 1);
    progress_->setValue(0);
    return;
  }
  progress_->setRange(0, bar.range);
  progress_->setValue(std::clamp(bar.position, 0, bar.range));
}

void MainWindow::Command(int id, int notification) {
  using namespace main_control;
  if (!state_ || hasEnded_ || closing_) return;
  AppState& state = *state_;
  switch (CommandFor(id, notification)) {
    case MainCommand::kNone:
      break;
    case MainCommand::kSourceDialog:
      if (RunVideoSourceDialog(this, state.camera)) ShowCameraFormat();
      break;
    case MainCommand::kFormatDialog:
      if (RunVideoFormatDialog(this, state.camera)) ShowCameraFormat();
      break;
    case MainCommand::kDisplayDialog:
      if (RunVideoDisplayDialog(this, state.camera, preview_.data())) ShowCameraFormat();
      break;
    case MainCommand::kPreviewBox:
      ShowPreview(IsChecked(kPreviewVideo));
      state.camera.SetPreview(IsChecked(kPreviewVideo));
      break;
    case MainCommand::kChooseFile:
      if (auto chosen = ChooseSaveFileName(this, GetText(main_control::kFileName)))
        SetText(main_control::kFileName, *chosen);
      break;
    case MainCommand::kReadInterval:
      if (GetSelection(kIntervalUnit) < 0) SetSelection(kIntervalUnit, 0);
      ReadCaptureInterval(state, GetText(kInterval), GetSelection(kIntervalUnit));
      SetText(kTimeRemaining, TimeRemainingText(state.secondsRemaining));
      break;
    case MainCommand::kHttpBox:
      // The settings button only while the server is off.
      state.http = IsChecked(kEnableHttp) ? 1 : 0;
      program_->ApplyHttpSwitch();
      SetEnabled(kHttpSettings, !IsChecked(kEnableHttp));
      break;
    case MainCommand::kHttpSettings:
      RunHttpSettingsDialog(this, state);
      break;
    case MainCommand::kFtpSettings:
      RunFtpSettingsDialog(this, state);
      break;
    case MainCommand::kTakePicture:
      // A picture now, then the countdown starts over.
      ShowCaptureResult(program_->TakePictureNow());
      break;
    case MainCommand::kCaptionBox:
      state.caption = IsChecked(kCaptionImage) ? 1 : 0;
      break;
    case MainCommand::kCaptionSettings:
      RunCaptionSettingsDialog(this, state.captionStyle);
      break;
    case MainCommand::kQualityRule:
      // The box clamped to 0..100, written back and followed by the spinner.
      state.quality = QualityFromText(GetText(kQuality));
      SetText(kQuality, UnsignedText(state.quality));
      if (UpDownControl* spin = QualitySpinner()) spin->SetPosition(state.quality);
      break;
    case MainCommand::kAbout:
      RunAboutBox(this);
      break;
    case MainCommand::kClose:
      EndDialog(0);
      break;
  }
}

void MainWindow::RequestClose() {
  if (hasEnded_) return;
  // A modal dialog of ours is cancelled first, so nothing resumes on a window
  // that has already shut down; the close follows once it has returned.
  if (QWidget* modal = QApplication::activeModalWidget()) {
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->done(0);
    } else {
      modal->close();
    }
    QTimer::singleShot(0, this, [this] { RequestClose(); });
    return;
  }
  EndDialog(0);
}

void MainWindow::EndDialog(int result) {
  if (hasEnded_ || closing_) return;
  Shutdown();
  hide();
  if (ended_) ended_(result);
}

void MainWindow::Shutdown() {
  closing_ = true;
  program_->StopSchedule();  // no capture starts while the window goes
  state_->ftp = IsChecked(main_control::kEnableFtp) ? 1 : 0;  // the box as it is now
  program_->SaveSettings();
  if (tray_) {
    tray_->hide();
    delete tray_;
    tray_ = nullptr;
  }
  hide();
  if (preview_) preview_->hide();
  program_->Finish();
  state_->log->SetChangedCallback(nullptr);
  state_->transfers->SetChangedCallback(nullptr);
  delete preview_.data();
  program_->ReleaseCamera();
  hasEnded_ = true;
}

void MainWindow::TrayDoubleClicked() {
  if (hasEnded_) return;
  inTray_ = false;
  showNormal();
  raise();
  activateWindow();
  if (preview_ && previewFrameWasShown_) preview_->show();
  state_->camera.SetPreview(true);
}

void MainWindow::MinimiseToTray() {
  const bool wasVisible = !inTray_;
  inTray_ = true;
  if (!wasVisible) return;
  // The preview frame goes with its owner and comes back with it.
  previewFrameWasShown_ = preview_ && preview_->isVisible();
  if (preview_) preview_->hide();
  // Without a tray the window stays minimised, reachable from the task bar.
  if (trayAvailable_)
    QTimer::singleShot(0, this, [this] {
      if (inTray_) hide();
    });
  if (CaptureDevice* device = state_->camera.Device()) device->SetPreview(false);
}

void MainWindow::ShowAgain() {
  const bool wasHidden = inTray_;
  inTray_ = false;
  if (!wasHidden) return;
  if (!isVisible() || isMinimized()) showNormal();
  if (preview_ && previewFrameWasShown_) preview_->show();
  state_->camera.SetPreview(true);
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (hasEnded_ || closing_) return;
  if (event->type() == QEvent::WindowStateChange) {
    if (isMinimized()) {
      MinimiseToTray();
    } else {
      ShowAgain();
    }
  } else if (event->type() == QEvent::ActivationChange && isActiveWindow() && !isMinimized()) {
    ShowAgain();
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The caption's close box does not close the window; only "Close" does.
  if (hasEnded_) {
    event->accept();
  } else {
    event->ignore();
  }
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  // Escape and Enter are the dialog's own cancel and OK commands: nothing.
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();
      return;
    default:
      QWidget::keyPressEvent(event);
  }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut) {
    // A context menu of the edit itself does not count as leaving it.
    if (static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
      for (int id : {main_control::kInterval, main_control::kQuality}) {
        if (watched == built_.Control(id)) Command(id, notify::kKillFocus);
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

// Controls by id

bool MainWindow::IsChecked(int id) const {
  auto* button = built_.ControlAs<QAbstractButton>(id);
  return button && button->isCheckable() && button->isChecked();
}

void MainWindow::SetChecked(int id, bool checked) {
  if (auto* button = built_.ControlAs<QAbstractButton>(id)) button->setChecked(checked);
}

std::string MainWindow::GetText(int id) const {
  QWidget* control = built_.Control(id);
  if (auto* edit = qobject_cast<QLineEdit*>(control)) return ToText(edit->text());
  if (auto* combo = qobject_cast<QComboBox*>(control)) return ToText(combo->currentText());
  if (auto* button = qobject_cast<QAbstractButton*>(control)) return ToText(button->text());
  if (auto* label = qobject_cast<QLabel*>(control)) return ToText(label->text());
  return {};
}

void MainWindow::SetText(int id, std::string_view text) {
  QWidget* control = built_.Control(id);
  const QString value = FromText(text);
  if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(value);
    edit->setCursorPosition(0);
  } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
    button->setText(value);
  } else if (auto* label = qobject_cast<QLabel*>(control)) {
    label->setText(value);
  }
}

void MainWindow::SetEnabled(int id, bool enabled) {
  if (QWidget* control = built_.Control(id)) control->setEnabled(enabled);
}

int MainWindow::GetSelection(int id) const {
  QWidget* control = built_.Control(id);
  if (auto* combo = qobject_cast<QComboBox*>(control)) return combo->currentIndex();
  if (auto* list = qobject_cast<QListView*>(control)) return list->currentIndex().row();
  return -1;
}

void MainWindow::SetSelection(int id, int index) {
  QWidget* control = built_.Control(id);
  if (auto* combo = qobject_cast<QComboBox*>(control)) combo->setCurrentIndex(index);
  if (auto* list = qobject_cast<QListView*>(control); list && list->model())
    list->setCurrentIndex(list->model()->index(index, 0));
}

bool MainWindow::SetTrayIcon(int iconId, std::string_view tip) {
  if (!tray_) return false;
  if (iconId == trayIconId_ && tip == trayTip_) return true;  // already showing
  const QIcon icon = LoadIconResource(iconId);
  if (icon.isNull()) return false;
  tray_->setIcon(icon);
  tray_->setToolTip(FromText(tip).left(kTrayTipMaxChars));
  trayIconId_ = iconId;
  trayTip_ = tip;
  return true;
}

void MainWindow::ResizePreview(int width, int height) {
  if (preview_) preview_->ResizeToFrame(width, height);
}

void MainWindow::ShowPreview(bool visible) {
  if (!preview_) return;
  if (visible) {
    preview_->showNormal();
  } else {
    preview_->hide();
  }
}

void MainWindow::ReadSwitches() {
  using namespace main_control;
  // The switches as the boxes show them at this moment.
  AppState& state = *state_;
  state.saveFile = IsChecked(kSaveFile) ? 1 : 0;
  if (state.saveFile) CopyText(state.fileName, GetText(kFileName));
  state.ftp = IsChecked(kEnableFtp) ? 1 : 0;
}

void MainWindow::ReloadSettings() {
  if (hasEnded_ || closing_) return;
  program_->ReloadSettings();
  ShowSettingsInControls();
  SetEnabled(main_control::kHttpSettings, !IsChecked(main_control::kEnableHttp));
}

void MainWindow::ShowSettingsInControls() {
  using namespace main_control;
  const AppState& s = *state_;
  SetChecked(kSaveFile, s.saveFile != 0);
  SetChecked(kEnableFtp, s.ftp != 0);
  SetChecked(kEnableHttp, s.http != 0);
  SetChecked(kCaptionImage, s.caption != 0);
  SetText(kInterval, UnsignedText(s.interval));
  SetText(kQuality, UnsignedText(s.quality));
  SetText(kFileName, std::string_view(s.fileName, strnlen(s.fileName, sizeof s.fileName)));
}

void MainWindow::ShowCamera() {
  using namespace main_control;
  const Camera& camera = state_->camera;
  SetEnabled(kSource, camera.Caps().fHasDlgVideoSource != 0);
  SetEnabled(kFormat, camera.Caps().fHasDlgVideoFormat != 0);
  SetEnabled(kDisplay, camera.Caps().fHasDlgVideoDisplay != 0);
  ShowCameraFormat();
}

void MainWindow::ShowCameraFormat() {
  const std::optional<FrameGeometry> format = state_->camera.Format();
  if (!format) {
    SetText(main_control::kFormatLine, "");
    return;
  }
  ResizePreview(format->width, format->height);
  SetText(main_control::kFormatLine, FormatLine(format->width, format->height, format->depth));
}

void MainWindow::ShowCaptureNotice(const std::string& line, bool failing) {
  if (hasEnded_ || closing_) return;
  notice_ = line;
  // A balloon passes by itself; the log list keeps the line for a person who
  // was away. Neither waits for anyone.
  if (tray_ && trayAvailable_ && QSystemTrayIcon::supportsMessages())
    tray_->showMessage(QStringLiteral("Snapvane"), FromText(line),
                       failing ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information,
                       kNoticeShownMs);
}

void MainWindow::ShowCaptureResult(const CaptureResult& result) {
  // One failure shows at most one set of boxes until they are dismissed: the
  // captures that fail meanwhile (timer, browsers) do not pile boxes up.
  if (hasEnded_ || showingCaptureResult_) return;
  showingCaptureResult_ = true;
  if (result.beep) QApplication::beep();
  for (const CaptureError& error : result.errors) {
    QMessageBox box(this);
    box.setText(FromText(error.text));
    if (error.step == CaptureStep::kJpeg) {
      box.setWindowTitle(QString::fromLatin1(kJpegErrorTitle));
      box.setIcon(QMessageBox::Critical);
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
  }
  showingCaptureResult_ = false;
}

}  // namespace snapvane
