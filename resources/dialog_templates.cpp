#include "resources/dialog_templates.h"

#include <map>

#include "resources/dialog_ids.h"

namespace snapvane {
namespace {

using K = ControlKind;
namespace mc = main_control;
namespace hc = http_control;
namespace fc = ftp_control;
namespace cc = caption_control;
constexpr uint32_t kTabFlat = kTabStop | kFlat;

// Main window.
DialogTemplate MainDialog() {
  return {kMainDialog,
          "Snapvane", 0, 0, 329, 215, kDialogMinimiseBox | kDialogSystemMenu,
          "MS Sans Serif", 8,
          {
              {kNoId, K::kGroupBox, "Capture Settings", 7, 6, 177, 49},
              {kNoId, K::kLabel, "Capture Interval", 13, 22, 51, 8},
              {mc::kInterval, K::kEdit, "", 72, 18, 29, 14, kTabStop | kAutoHScroll | kBorder},
              {mc::kIntervalUnit, K::kDropDownList, "", 109, 18, 60, 86, kTabStop | kVScroll},
              {kNoId, K::kLabel, "Time Remaining", 13, 38, 52, 8},
              {mc::kTimeRemaining, K::kEdit, "", 72, 34, 97, 14,
               kTabStop | kReadOnly | kAutoHScroll | kBorder},
              {kNoId, K::kGroupBox, "Video Settings", 7, 60, 177, 45},
              {mc::kPreviewVideo, K::kPushLikeCheckBox, "Preview Video", 13, 71, 55, 14, kTabStop},
              {mc::kSource, K::kIconButton, "Source", 79, 70, 18, 16, kTabFlat, kSourceIcon},
              {mc::kFormat, K::kIconButton, "Format", 101, 70, 18, 16, kTabFlat, kFormatIcon},
              {mc::kDisplay, K::kIconButton, "Display", 123, 70, 18, 16, kTabFlat, kDisplayIcon},
              {mc::kQuality, K::kEdit, "", 145, 71, 32, 14, kTabStop | kDigitsOnly | kBorder},
              {mc::kQualitySpin, K::kUpDown, "Spin1", 193, 118, 11, 14, 0},
              {mc::kFormatLine, K::kLabel, "", 13, 89, 163, 11, 0},
              {kNoId, K::kGroupBox, "File Settings", 7, 110, 177, 27},
              {mc::kSaveFile, K::kCheckBox, "Save File", 13, 121, 45, 10, kTabFlat},
              {mc::kFileName, K::kEdit, "", 60, 118, 94, 14, kTabStop | kAutoHScroll | kBorder},
              {mc::kChooseFile, K::kPushButton, "...", 159, 118, 16, 14, kTabFlat},
              {kNoId, K::kGroupBox, "HTTP Server", 191, 6, 132, 27},
              {mc::kEnableHttp, K::kCheckBox, "Enable HTTP", 199, 17, 60, 10, kTabFlat},
              {mc::kHttpSettings, K::kPushButton, "Settings...", 263, 14, 50, 14, kTabFlat},
              {kNoId, K::kGroupBox, "FTP Settings", 191, 38, 132, 27},
              {mc::kEnableFtp, K::kCheckBox, "Enable FTP", 199, 49, 53, 10, kTabFlat},
              {mc::kFtpSettings, K::kPushButton, "Settings...", 263, 46, 50, 14, kTabFlat},
              {kNoId, K::kGroupBox, "Caption Settings", 191, 71, 132, 27},
              {mc::kCaptionImage, K::kCheckBox, "Caption Image", 199, 82, 61, 10, kTabFlat},
              {mc::kCaptionSettings, K::kPushButton, "Settings...", 263, 79, 50, 14, kTabFlat},
              {mc::kProgress, K::kProgressBar, "Progress1", 191, 103, 131, 10, 0},
              {mc::kClose, K::kIconButton, "Close", 272, 120, 26, 22, kTabFlat, kCloseIcon},
              {kNoId, K::kLabel, "Log", 7, 142, 13, 8},
              {mc::kLog, K::kListBox, "", 8, 154, 314, 55,
               kTabStop | kNoIntegralHeight | kVScroll | kHScroll | kBorder},
              {mc::kTakePicture, K::kIconButton, "", 210, 120, 26, 22, kTabFlat, kAppIcon},
              {mc::kAbout, K::kIconButton, "", 241, 120, 26, 22, kTabFlat, kAboutIcon},
          }};
}

// Preview frame window: a small tool window with a caption and no controls; the
// preview widget fills it.
// Placed just right of the main window (329 units wide) rather than over its right
// part: once sized to a frame it would cover the Settings buttons.
DialogTemplate PreviewDialog() {
  return {kPreviewDialog,
          "Video Preview", 333, 0, 55, 50, kDialogToolWindow, "MS Sans Serif", 8, {}};
}

// About box.
DialogTemplate AboutDialog() {
  return {kAboutDialog,
          "About Snapvane", 0, 0, 184, 100,
          kDialogCentred | kDialogToolWindow | kDialogSystemMenu, "MS Sans Serif", 8,
          {
              {kNoId, K::kIcon, "", 7, 7, 21, 20, 0, kAppIcon},
              {kNoId, K::kLabel,
               "Snapvane\n\nVersion 1.0\n\nThis software is based in part on the work of the "
               "Independent Jpeg Group",
               35, 7, 142, 64, kCentred},
              {kOk, K::kPushButton, "Close", 67, 78, 50, 14, kTabStop},
          }};
}

// FTP settings: one labelled edit per field, then OK and Cancel.
DialogTemplate FtpDialog() {
  constexpr uint32_t kEditStyle = kTabStop | kAutoHScroll | kBorder;
  return {kFtpSettingsDialog,
          "FTP Settings", 0, 0, 186, 216, kDialogCentred | kDialogSystemMenu,
          "MS Sans Serif", 8,
          {
              {kNoId, K::kLabel, "Username ", 7, 10, 40, 8},
              {fc::kUser, K::kEdit, "", 52, 7, 127, 14, kEditStyle},
              {kNoId, K::kLabel, "Password", 7, 28, 40, 8},
              {fc::kPass, K::kEdit, "", 52, 25, 127, 14, kEditStyle | kPassword},
              {kNoId, K::kLabel, "Account", 7, 46, 40, 8},
              {fc::kAccount, K::kEdit, "", 52, 43, 127, 14, kEditStyle},
              {kNoId, K::kLabel, "Server", 7, 64, 40, 8},
              {fc::kServer, K::kEdit, "", 52, 61, 127, 14, kEditStyle},
              {kNoId, K::kLabel, "Directory", 7, 82, 40, 8},
              {fc::kDirectory, K::kEdit, "", 52, 79, 127, 14, kEditStyle},
              {kNoId, K::kLabel, "Filename", 7, 100, 40, 8},
              {fc::kFile, K::kEdit, "", 52, 97, 127, 14, kEditStyle},
              {kNoId, K::kLabel, "Port", 7, 118, 40, 8},
              {fc::kPort, K::kEdit, "", 52, 115, 30, 14, kEditStyle},
              {kNoId, K::kLabel, "Mode", 90, 118, 22, 8},
              {fc::kMode, K::kDropDownList, "", 114, 115, 65, 50, kTabStop},
              {fc::kTls, K::kCheckBox, "Use TLS (explicit FTPS)", 7, 134, 172, 10, kTabStop},
              {kNoId, K::kLabel, "Certificate", 7, 150, 40, 8},
              {fc::kFingerprint, K::kEdit, "", 52, 147, 127, 14, kEditStyle},
              {fc::kTest, K::kPushButton, "Test", 7, 166, 40, 14, kTabStop},
              {fc::kTestResult, K::kLabel, "", 52, 166, 127, 26},
              {kOk, K::kDefPushButton, "OK", 38, 195, 50, 14, kTabStop},
              {kCancel, K::kPushButton, "Cancel", 98, 195, 50, 14, kTabStop},
          }};
}

// HTTP server settings: port, client pull and its interval, the listen address,
// the password, the stream, then OK and Cancel.
DialogTemplate HttpDialog() {
  constexpr uint32_t kEditStyle = kTabStop | kAutoHScroll | kBorder;
  return {kHttpSettingsDialog,
          "HTTP server settings", 0, 0, 200, 214, kDialogCentred | kDialogSystemMenu,
          "MS Sans Serif", 8,
          {
              {kNoId, K::kLabel, "Port Number", 7, 10, 50, 8},
              {hc::kPort, K::kEdit, "", 62, 7, 40, 14, kEditStyle},
              {kNoId, K::kLabel, "[80]", 107, 10, 25, 8},
              {hc::kRefresh, K::kCheckBox, "Client Pull Refresh", 7, 27, 85, 10,
               kTabStop | kTextLeft},
              {kNoId, K::kLabel, "Refresh Interval", 7, 46, 52, 8},
              {hc::kRefreshInterval, K::kEdit, "", 62, 43, 40, 14, kEditStyle},
              {kNoId, K::kLabel, "Seconds", 107, 46, 30, 8},
              {kNoId, K::kLabel, "Listen Address", 7, 65, 52, 8},
              {hc::kAddress, K::kEdit, "", 62, 62, 80, 14, kEditStyle},
              {kNoId, K::kLabel, "[all]", 147, 65, 25, 8},
              {kNoId, K::kLabel, "User Name", 7, 84, 52, 8},
              {hc::kUser, K::kEdit, "", 62, 81, 80, 14, kEditStyle},
              {kNoId, K::kLabel, "Password", 7, 103, 52, 8},
              {hc::kPassword, K::kEdit, "", 62, 100, 80, 14, kEditStyle | kPassword},
              {kNoId, K::kLabel,
               "Without TLS the password crosses the network readable: on the internet, "
               "serve the camera behind a TLS proxy.",
               7, 118, 186, 24},
              {hc::kStream, K::kCheckBox, "Stream (/stream)", 7, 147, 85, 10, kTabStop | kTextLeft},
              {kNoId, K::kLabel, "Frames per Second", 7, 166, 60, 8},
              {hc::kStreamFps, K::kEdit, "", 72, 163, 30, 14, kEditStyle},
              {kNoId, K::kLabel, "[1-30]", 107, 166, 30, 8},
              {kOk, K::kDefPushButton, "OK", 45, 190, 50, 14, kTabStop},
              {kCancel, K::kPushButton, "Cancel", 105, 190, 50, 14, kTabStop},
          }};
}

// Caption settings: text, placement, outline, font and colours, live preview.
DialogTemplate CaptionDialog() {
  return {kCaptionDialog,
          "Caption Settings", 0, 0, 234, 186, kDialogCentred | kDialogSystemMenu,
          "MS Sans Serif", 8,
          {
              {kOk, K::kDefPushButton, "OK", 187, 7, 40, 14, kTabFlat},
              {kCancel, K::kPushButton, "Cancel", 187, 26, 40, 14, kTabFlat},
              {kNoId, K::kLabel, "Caption", 7, 7, 25, 8},
              // One line: Enter is the default button's.
              {cc::kText, K::kEdit, "", 45, 7, 120, 12, kTabStop | kAutoHScroll | kBorder},
              {kNoId, K::kGroupBox, "Caption Position", 7, 55, 158, 50},
              {kNoId, K::kLabel, "Vertical", 10, 68, 24, 8},
              {cc::kVertical, K::kDropDownList, "", 45, 65, 114, 61, kTabStop},
              {kNoId, K::kLabel, "Horizontal", 10, 89, 32, 8},
              {cc::kHorizontal, K::kDropDownList, "", 45, 87, 114, 55, kTabStop},
              {cc::kTransparent, K::kCheckBox, "Transparent", 18, 110, 54, 10, kTabFlat},
              {kNoId, K::kLabel, "Font", 54, 127, 15, 8},
              {cc::kFont, K::kIconButton, "", 71, 123, 18, 16, kTabFlat, kFontIcon},
              {kNoId, K::kLabel, "Foreground Colour", 10, 147, 59, 8},
              {cc::kForeground, K::kIconButton, "ffffff", 71, 143, 18, 16, kTabFlat, kColourIcon},
              {kNoId, K::kLabel, "Background Colour", 7, 167, 62, 8},
              {cc::kBackground, K::kIconButton, "000000", 71, 163, 18, 16, kTabFlat, kColourIcon},
              {cc::kPreview, K::kOwnerDrawButton, "Preview", 94, 111, 133, 68,
               kFlat | kDisabled | kSunken},
          }};
}

const std::map<int, DialogTemplate>& Templates() {
  static const std::map<int, DialogTemplate> templates = [] {
    std::map<int, DialogTemplate> m;
    for (DialogTemplate t :
         {MainDialog(), PreviewDialog(), AboutDialog(), FtpDialog(), HttpDialog(), CaptionDialog()})
      m.emplace(t.id, std::move(t));
    return m;
  }();
  return templates;
}

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
  auto it = Templates().find(id);
  return it == Templates().end() ? nullptr : &it->second;
}

}  // namespace snapvane
