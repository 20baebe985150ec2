#include "resources/dialog_templates.h"

#include <map>

namespace snapvane {
namespace {

using K = ControlKind;
constexpr uint32_t kTabFlat = kTabStop | kFlat;

// Main window.
DialogTemplate MainDialog() {
  return {101, "Snapvane", 0, 0, 329, 215, kDialogMinimiseBox | kDialogSystemMenu,
          "MS Sans Serif", 8,
          {
              {kNoId, K::kGroupBox, "Capture Settings", 7, 6, 177, 49},
              {kNoId, K::kLabel, "Capture Interval", 13, 22, 51, 8},
              {1008, K::kEdit, "", 72, 18, 29, 14, kTabStop | kAutoHScroll | kBorder},
              {1009, K::kDropDownList, "", 109, 18, 60, 86, kTabStop | kVScroll},
              {kNoId, K::kLabel, "Time Remaining", 13, 38, 52, 8},
              {1013, K::kEdit, "", 72, 34, 97, 14, kTabStop | kReadOnly | kAutoHScroll | kBorder},
              {kNoId, K::kGroupBox, "Video Settings", 7, 60, 177, 45},
              {1003, K::kPushLikeCheckBox, "Preview Video", 13, 71, 55, 14, kTabStop},
              {1000, K::kIconButton, "Source", 79, 70, 18, 16, kTabFlat, 1000},
              {1001, K::kIconButton, "Format", 101, 70, 18, 16, kTabFlat, 1001},
              {1002, K::kIconButton, "Display", 123, 70, 18, 16, kTabFlat, 1002},
              {1030, K::kEdit, "", 145, 71, 32, 14, kTabStop | kDigitsOnly | kBorder},
              {1041, K::kUpDown, "Spin1", 193, 118, 11, 14, 0},
              {1004, K::kLabel, "", 13, 89, 163, 11, 0},
              {kNoId, K::kGroupBox, "File Settings", 7, 110, 177, 27},
              {1005, K::kCheckBox, "Save File", 13, 121, 45, 10, kTabFlat},
              {1006, K::kEdit, "", 60, 118, 94, 14, kTabStop | kAutoHScroll | kBorder},
              {1007, K::kPushButton, "...", 159, 118, 16, 14, kTabFlat},
              {kNoId, K::kGroupBox, "HTTP Server", 191, 6, 132, 27},
              {1010, K::kCheckBox, "Enable HTTP", 199, 17, 60, 10, kTabFlat},
              {1025, K::kPushButton, "Settings...", 263, 14, 50, 14, kTabFlat},
              {kNoId, K::kGroupBox, "FTP Settings", 191, 38, 132, 27},
              {1017, K::kCheckBox, "Enable FTP", 199, 49, 53, 10, kTabFlat},
              {1026, K::kPushButton, "Settings...", 263, 46, 50, 14, kTabFlat},
              {kNoId, K::kGroupBox, "Caption Settings", 191, 71, 132, 27},
              {1028, K::kCheckBox, "Caption Image", 199, 82, 61, 10, kTabFlat},
              {1029, K::kPushButton, "Settings...", 263, 79, 50, 14, kTabFlat},
              {1024, K::kProgressBar, "Progress1", 191, 103, 131, 10, 0},
              {1032, K::kIconButton, "Close", 272, 120, 26, 22, kTabFlat, 1004},
              {kNoId, K::kLabel, "Log", 7, 142, 13, 8},
              {1012, K::kListBox, "", 8, 154, 314, 55,
               kTabStop | kNoIntegralHeight | kVScroll | kHScroll | kBorder},
              {1027, K::kIconButton, "", 210, 120, 26, 22, kTabFlat, 101},
              {1031, K::kIconButton, "", 241, 120, 26, 22, kTabFlat, 117},
          }};
}

// Preview frame window: a small tool window with a caption and no controls; the
// preview widget fills it.
// Placed just right of the main window (329 units wide) rather than over its right
// part: once sized to a frame it would cover the Settings buttons.
DialogTemplate PreviewDialog() {
  return {112, "Video Preview", 333, 0, 55, 50, kDialogToolWindow, "MS Sans Serif", 8, {}};
}

// About box.
DialogTemplate AboutDialog() {
  return {118, "About Snapvane", 0, 0, 184, 100,
          kDialogCentred | kDialogToolWindow | kDialogSystemMenu, "MS Sans Serif", 8,
          {
              {kNoId, K::kIcon, "", 7, 7, 21, 20, 0, 101},
              {kNoId, K::kLabel,
               "Snapvane\n\nVersion 1.0\n\nThis software is based in part on the work of the "
               "Independent Jpeg Group",
               35, 7, 142, 64, kCentred},
              {1, K::kPushButton, "Close", 67, 78, 50, 14, kTabStop},
          }};
}

// FTP settings: one labelled edit per field, then OK and Cancel.
DialogTemplate FtpDialog() {
  constexpr uint32_t kEditStyle = kTabStop | kAutoHScroll | kBorder;
  return {114, "FTP Settings", 0, 0, 186, 140, kDialogCentred | kDialogSystemMenu,
          "MS Sans Serif", 8,
          {
              {kNoId, K::kLabel, "Username ", 7, 10, 40, 8},
              {1018, K::kEdit, "", 52, 7, 127, 14, kEditStyle},
              {kNoId, K::kLabel, "Password", 7, 28, 40, 8},
              {1019, K::kEdit, "", 52, 25, 127, 14, kEditStyle | kPassword},
              {kNoId, K::kLabel, "Account", 7, 46, 40, 8},
              {1020, K::kEdit, "", 52, 43, 127, 14, kEditStyle},
              {kNoId, K::kLabel, "Server", 7, 64, 40, 8},
              {1023, K::kEdit, "", 52, 61, 127, 14, kEditStyle},
              {kNoId, K::kLabel, "Directory", 7, 82, 40, 8},
              {1021, K::kEdit, "", 52, 79, 127, 14, kEditStyle},
              {kNoId, K::kLabel, "Filename", 7, 100, 40, 8},
              {1022, K::kEdit, "", 52, 97, 127, 14, kEditStyle},
              {1, K::kDefPushButton, "OK", 38, 119, 50, 14, kTabStop},
              {2, K::kPushButton, "Cancel", 98, 119, 50, 14, kTabStop},
          }};
}

// HTTP server settings: port, client pull and its interval, then OK and Cancel.
DialogTemplate HttpDialog() {
  constexpr uint32_t kEditStyle = kTabStop | kAutoHScroll | kBorder;
  return {113, "HTTP server settings", 0, 0, 160, 88, kDialogCentred | kDialogSystemMenu,
          "MS Sans Serif", 8,
          {
              {kNoId, K::kLabel, "Port Number", 7, 10, 50, 8},
              {1011, K::kEdit, "", 62, 7, 40, 14, kEditStyle},
              {kNoId, K::kLabel, "[80]", 107, 10, 25, 8},
              {1014, K::kCheckBox, "Client Pull Refresh", 7, 27, 85, 10, kTabStop | kTextLeft},
              {kNoId, K::kLabel, "Refresh Interval", 7, 46, 52, 8},
              {1015, K::kEdit, "", 62, 43, 40, 14, kEditStyle},
              {kNoId, K::kLabel, "Seconds", 107, 46, 30, 8},
              {1, K::kDefPushButton, "OK", 25, 67, 50, 14, kTabStop},
              {2, K::kPushButton, "Cancel", 85, 67, 50, 14, kTabStop},
          }};
}

// Caption settings: text, placement, outline, font and colours, live preview.
DialogTemplate CaptionDialog() {
  return {115, "Caption Settings", 0, 0, 234, 186, kDialogCentred | kDialogSystemMenu,
          "MS Sans Serif", 8,
          {
              {1, K::kDefPushButton, "OK", 187, 7, 40, 14, kTabFlat},
              {2, K::kPushButton, "Cancel", 187, 26, 40, 14, kTabFlat},
              {kNoId, K::kLabel, "Caption", 7, 7, 25, 8},
              // One line: Enter is the default button's.
              {1028, K::kEdit, "", 45, 7, 120, 12, kTabStop | kAutoHScroll | kBorder},
              {kNoId, K::kGroupBox, "Caption Position", 7, 55, 158, 50},
              {kNoId, K::kLabel, "Vertical", 10, 68, 24, 8},
              {1033, K::kDropDownList, "", 45, 65, 114, 61, kTabStop},
              {kNoId, K::kLabel, "Horizontal", 10, 89, 32, 8},
              {1032, K::kDropDownList, "", 45, 87, 114, 55, kTabStop},
              {1037, K::kCheckBox, "Transparent", 18, 110, 54, 10, kTabFlat},
              {kNoId, K::kLabel, "Font", 54, 127, 15, 8},
              {1034, K::kIconButton, "", 71, 123, 18, 16, kTabFlat, 116},
              {kNoId, K::kLabel, "Foreground Colour", 10, 147, 59, 8},
              {1035, K::kIconButton, "ffffff", 71, 143, 18, 16, kTabFlat, 1003},
              {kNoId, K::kLabel, "Background Colour", 7, 167, 62, 8},
              {1036, K::kIconButton, "000000", 71, 163, 18, 16, kTabFlat, 1003},
              {1003, K::kOwnerDrawButton, "Preview", 94, 111, 133, 68, kFlat | kDisabled | kSunken},
          }};
}

const std::map<int, DialogTemplate>& Templates() {
  static const std::map<int, DialogTemplate> templates = [] {
    std::map<int, DialogTemplate> m;
    for (DialogTemplate t : {MainDialog(), PreviewDialog(), AboutDialog(), FtpDialog(), HttpDialog(), CaptionDialog()}) m.emplace(t.id, std::move(t));
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
