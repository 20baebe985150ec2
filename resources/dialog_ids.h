#pragma once
// Resource numbers: the dialogs, their controls (one enum per dialog, used by the
// templates, the string table, the code and the tests) and the icons.
namespace snapvane {

enum DialogId : int {
  kMainDialog = 101,
  kPreviewDialog = 112,
  kHttpSettingsDialog = 113,
  kFtpSettingsDialog = 114,
  kCaptionDialog = 115,
  kAboutDialog = 118,
};

// Every dialog's own OK and Cancel.
enum DialogButton : int { kOk = 1, kCancel = 2 };

// The main window (dialog 101).
namespace main_control {
enum : int {
  kSource = 1000,
  kFormat = 1001,
  kDisplay = 1002,
  kPreviewVideo = 1003,
  kFormatLine = 1004,
  kSaveFile = 1005,
  kFileName = 1006,
  kChooseFile = 1007,
  kInterval = 1008,
  kIntervalUnit = 1009,
  kEnableHttp = 1010,
  kLog = 1012,
  kTimeRemaining = 1013,
  kEnableFtp = 1017,
  kProgress = 1024,
  kHttpSettings = 1025,
  kFtpSettings = 1026,
  kTakePicture = 1027,
  kCaptionImage = 1028,
  kCaptionSettings = 1029,
  kQuality = 1030,
  kAbout = 1031,
  kClose = 1032,
  kQualitySpin = 1041,
  // Tool tips: every control from the first to the last id carries the string of
  // its own number.
  kFirstTip = kSource,
  kLastTip = kClose,
};
}  // namespace main_control

// HTTP server settings (dialog 113).
namespace http_control {
enum : int {
  kPort = 1011,
  kRefresh = 1014,
  kRefreshInterval = 1015,
  kAddress = 1070,
  kUser = 1071,
  kPassword = 1072,
  kStream = 1073,
  kStreamFps = 1074,
};
}  // namespace http_control

// FTP settings (dialog 114).
namespace ftp_control {
enum : int {
  kUser = 1018,
  kPass = 1019,
  kAccount = 1020,
  kDirectory = 1021,
  kFile = 1022,
  kServer = 1023,
  kPort = 1050,
  kMode = 1051,
  kTls = 1052,
  kFingerprint = 1053,
  kTest = 1054,
  kTestResult = 1055,
};
}  // namespace ftp_control

// Caption settings (dialog 115).
namespace caption_control {
enum : int {
  kPreview = 1003,
  kText = 1028,
  kHorizontal = 1032,
  kVertical = 1033,
  kFont = 1034,
  kForeground = 1035,
  kBackground = 1036,
  kTransparent = 1037,
};
}  // namespace caption_control

enum IconId : int {
  kAppIcon = 101,        // also the idle tray icon and the "Take picture now" button
  kCountdownIcon = 102,  // all red; 103..106 count back to all yellow
  kHttpAccessIcon = 111,
  kFontIcon = 116,
  kAboutIcon = 117,
  kSourceIcon = 1000,
  kFormatIcon = 1001,
  kDisplayIcon = 1002,
  kColourIcon = 1003,
  kCloseIcon = 1004,
};

}  // namespace snapvane
