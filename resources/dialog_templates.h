#pragma once
// Dialog templates as data: each control's id, kind, text, rectangle in dialog
// units and style. The window layer's builder (app/dialog_builder.h) turns them
// into widgets; code finds a control by its id.
#include <cstdint>
#include <vector>

namespace snapvane {

inline constexpr int kNoId = -1;  // labels and group boxes

enum class ControlKind {
  kGroupBox,
  kLabel,          // static text
  kIcon,           // static icon (iconId)
  kEdit,
  kDropDownList,   // combo box without an edit field
  kCheckBox,       // automatic check box
  kPushLikeCheckBox,
  kPushButton,
  kDefPushButton,  // the default button
  kIconButton,     // push button showing iconId instead of its text
  kOwnerDrawButton,
  kUpDown,         // spinner for the control before it
  kProgressBar,
  kListBox,
};

enum ControlStyle : uint32_t {
  kTabStop = 1u << 0,
  kFlat = 1u << 1,
  kReadOnly = 1u << 2,
  kDigitsOnly = 1u << 3,
  kAutoHScroll = 1u << 4,
  kMultiLine = 1u << 5,
  kVScroll = 1u << 6,
  kHScroll = 1u << 7,
  kBorder = 1u << 8,
  kPassword = 1u << 9,
  kDisabled = 1u << 10,
  kTextLeft = 1u << 11,     // check box text on the left
  kCentred = 1u << 12,      // centred label text
  kSunken = 1u << 13,       // sunken client edge
  kNoIntegralHeight = 1u << 14,
};

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* text;
  int x, y, width, height;  // dialog units
  uint32_t style = 0;
  int iconId = 0;
};

enum DialogStyle : uint32_t {
  kDialogCentred = 1u << 0,
  kDialogToolWindow = 1u << 1,
  kDialogMinimiseBox = 1u << 2,
  kDialogSystemMenu = 1u << 3,
};

struct DialogTemplate {
  int id;
  const char* caption;
  int x, y, width, height;  // dialog units
  uint32_t style;
  const char* fontName;
  int fontPoints;
  std::vector<ControlTemplate> controls;
};

// The template with resource id, or null.
const DialogTemplate* FindDialogTemplate(int id);

}  // namespace snapvane
