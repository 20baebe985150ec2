#include "app/main_commands.h"

#include <cerrno>
#include <cstring>

#include "app/app_state.h"
#include "app/main_window_port.h"
#include "capture/capture_control.h"
#include "publish/http_server.h"

namespace snapvane {

MainCommand CommandFor(int id, int notification) {
  using namespace main_control;
  switch (id) {
    case kSource:
      return MainCommand::kSourceDialog;
    case kFormat:
      return MainCommand::kFormatDialog;
    case kDisplay:
      return MainCommand::kDisplayDialog;
    case kPreviewVideo:
      return MainCommand::kPreviewBox;
    case kChooseFile:
      return MainCommand::kChooseFile;
    case kInterval:
      return notification == notify::kKillFocus ? MainCommand::kReadInterval : MainCommand::kNone;
    case kIntervalUnit:
      return notification == notify::kSelChange ? MainCommand::kReadInterval : MainCommand::kNone;
    case kEnableHttp:
      return MainCommand::kHttpBox;
    case kHttpSettings:
      return MainCommand::kHttpSettings;
    case kFtpSettings:
      return MainCommand::kFtpSettings;
    case kTakePicture:
      return MainCommand::kTakePicture;
    case kCaptionImage:
      return MainCommand::kCaptionBox;
    case kCaptionSettings:
      return MainCommand::kCaptionSettings;
    case kQuality:
      return notification == notify::kKillFocus ? MainCommand::kQualityRule : MainCommand::kNone;
    case kAbout:
      return MainCommand::kAbout;
    case kClose:
      return MainCommand::kClose;
    default:
      return MainCommand::kNone;
  }
}

int32_t QualityFromText(std::string_view text) {
  // Surrounding blanks are allowed, as when the platform reads a number box.
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return 0;
  int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    // Past the maximum every further digit keeps it there: no overflow.
    value = value > kMaxQuality ? value : value * 10 + (c - '0');
  }
  return value > kMaxQuality ? kMaxQuality : value;
}

int32_t ApplyQualityRule(AppState& state) {
  if (!state.mainWindow) return state.quality;
  state.quality = QualityFromText(state.mainWindow->GetText(main_control::kQuality));
  state.mainWindow->SetText(main_control::kQuality, UnsignedText(state.quality));
  return state.quality;
}

int EnableHttp(AppState& state) {
  state.http = 1;
  if (!state.httpServer) return EINVAL;
  const int rc = state.httpServer->StartHttpListener(state.httpPort, state.httpRefresh);
  if (rc == 0) state.httpPort = state.httpServer->port();
  return rc;
}

void DisableHttp(AppState& state) {
  state.http = 0;
  if (state.httpServer) state.httpServer->Stop();
}

void ApplyHttpBox(AppState& state) {
  if (!state.mainWindow) return;
  if (state.mainWindow->IsChecked(main_control::kEnableHttp)) {
    EnableHttp(state);  // a failure is logged by the server itself
    if (state.mainWindow) state.mainWindow->SetEnabled(main_control::kHttpSettings, false);
  } else {
    DisableHttp(state);
    if (state.mainWindow) state.mainWindow->SetEnabled(main_control::kHttpSettings, true);
  }
}

void ApplyCaptionBox(AppState& state) {
  if (!state.mainWindow) return;
  state.caption = state.mainWindow->IsChecked(main_control::kCaptionImage) ? 1 : 0;
}

void ApplyPreviewBox(AppState& state) {
  if (!state.mainWindow) return;
  const bool on = state.mainWindow->IsChecked(main_control::kPreviewVideo);
  state.mainWindow->ShowPreview(on);
  state.camera.SetPreview(on);
}

std::string UnsignedText(int32_t value) { return std::to_string(static_cast<uint32_t>(value)); }

void ShowSettingsInControls(AppState& state) {
  using namespace main_control;
  MainWindowPort* window = state.mainWindow;
  if (!window) return;
  window->SetChecked(kSaveFile, state.saveFile != 0);
  window->SetChecked(kEnableFtp, state.ftp != 0);
  window->SetChecked(kEnableHttp, state.http != 0);
  window->SetChecked(kCaptionImage, state.caption != 0);
  window->SetText(kInterval, UnsignedText(state.interval));
  window->SetText(kQuality, UnsignedText(state.quality));
  window->SetText(kFileName,
                  std::string_view(state.fileName, strnlen(state.fileName, sizeof state.fileName)));
}

}  // namespace snapvane
