#include "app/main_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/app_state.h"
#include "common/fixed_text.h"
#include "publish/ftp_upload.h"
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

int EnableHttp(AppState& state) {
  state.http = 1;
  if (!state.httpServer) return EINVAL;
  HttpServer::Options options;
  options.address = FieldText(state.httpAddress);
  options.user = FieldText(state.httpUser);
  options.passwordHash = FieldText(state.httpPassHash);
  options.streamFps = state.httpStream ? StreamFpsOf(state.httpStreamFps) : 0;
  const int rc = state.httpServer->StartHttpListener(state.httpPort, state.httpRefresh, options);
  if (rc == 0) state.httpPort = state.httpServer->port();
  return rc;
}

void DisableHttp(AppState& state) {
  state.http = 0;
  if (state.httpServer) state.httpServer->Stop();
}

PublishOrder OrderPicture(Settings& s) {
  PublishOrder order;
  if (s.saveFile && s.fileName[0] == '\0') s.saveFile = 0;
  order.saveFile = s.saveFile != 0;
  if (order.saveFile) order.fileName = s.fileName;
  if (s.ftp && (!s.ftpUser[0] || !s.ftpFile[0] || !s.ftpServer[0])) s.ftp = 0;
  order.ftp = s.ftp != 0;
  if (order.ftp) order.ftpSettings = std::make_shared<const FtpSettings>(CopyFtpSettings(s));
  return order;
}

std::string UnsignedText(int32_t value) { return std::to_string(static_cast<uint32_t>(value)); }

}  // namespace snapvane
