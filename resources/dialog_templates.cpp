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

// OWNERS: the other dialogs (112 preview, 113 HTTP, 114 FTP, 115 caption,
// 118 About) are added here by the work that builds each of them.

const std::map<int, DialogTemplate>& Templates() {
  static const std::map<int, DialogTemplate> templates = [] {
    std::map<int, DialogTemplate> m;
    for (DialogTemplate t : {MainDialog()}) m.emplace(t.id, std::move(t));
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
