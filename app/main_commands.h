#pragma once
// The main window's command table and the rules behind its boxes, in plain C++
// so they are tested without a toolkit. UI thread only.
#include <cstdint>
#include <string>
#include <string_view>

#include "publish/snapshot.h"
#include "resources/dialog_ids.h"

namespace snapvane {

struct AppState;
struct Settings;


inline constexpr const char* kTrayTip = "Snapvane";
inline constexpr int kTimerPeriodMs = 1000;
inline constexpr int32_t kMaxQuality = 100;
inline constexpr int kQualitySpinMinimum = 0;
inline constexpr int kQualitySpinMaximum = 100;
// The units of list 1009, in order.
inline constexpr const char* kIntervalUnits[] = {"Seconds", "Minutes", "Hours", "Days", "Weeks"};

// Notification codes of a command (the platform's values).
namespace notify {
inline constexpr int kClicked = 0;
inline constexpr int kSelChange = 1;      // list selection changed
inline constexpr int kKillFocus = 0x200;  // an edit lost the focus
}  // namespace notify

enum class MainCommand {
  kNone,
  kSourceDialog,
  kFormatDialog,
  kDisplayDialog,
  kPreviewBox,
  kChooseFile,
  kReadInterval,
  kHttpBox,
  kHttpSettings,
  kFtpSettings,
  kTakePicture,
  kCaptionBox,
  kCaptionSettings,
  kQualityRule,
  kAbout,
  kClose,
};

// What control id with notification code does (kNone: nothing, which covers the
// "Save File" and "Enable FTP" boxes, the file-name box, the log, the progress
// bar and the dialog's own OK and Cancel, so Escape closes nothing).
MainCommand CommandFor(int id, int notification);

// The quality box read as an unsigned number: text that is not a number reads as
// 0, a number above 100 (however long) as 100.
int32_t QualityFromText(std::string_view text);

// http := 1 and the server started on httpPort (a port the system chose is
// written back); the server's result. A failure is logged by the server.
int EnableHttp(AppState& state);
// http := 0 and the listening socket closed. Running visits finish.
void DisableHttp(AppState& state);

// Where the next picture goes, from the switches: the local copy only with a
// file name; the upload only with a user, a file and a server (else ftp is
// switched off, for the window to untick its box).
PublishOrder OrderPicture(Settings& settings);

// Numbers the platform writes as unsigned decimals (a negative stored value shows
// as its 32-bit unsigned form).
std::string UnsignedText(int32_t value);

}  // namespace snapvane
