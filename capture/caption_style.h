#pragma once
// The caption settings record and the 60-byte font record it stores.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace snapvane {

// Same 60-byte layout as the platform font record: five 32-bit ints, eight
// bytes, a 32-byte face name. A stored font means the same everywhere.
#pragma pack(push, 1)
struct LogFont {
  int32_t lfHeight = 0;  // < 0: character height in pixels; > 0: cell height; 0: default
  int32_t lfWidth = 0;
  int32_t lfEscapement = 0;
  int32_t lfOrientation = 0;
  int32_t lfWeight = 0;  // 0 default, 400 normal, 700 bold
  uint8_t lfItalic = 0;
  uint8_t lfUnderline = 0;
  uint8_t lfStrikeOut = 0;
  uint8_t lfCharSet = 0;
  uint8_t lfOutPrecision = 0;
  uint8_t lfClipPrecision = 0;
  uint8_t lfQuality = 0;
  uint8_t lfPitchAndFamily = 0;
  char lfFaceName[32] = {};
};
#pragma pack(pop)
static_assert(sizeof(LogFont) == 60);

using ColorRef = uint32_t;  // 0x00BBGGRR

struct CaptionStyle {
  char text[256] = {};
  int32_t valign = 0;  // 0 Top, 1 Centre, 2 Bottom
  int32_t halign = 0;  // 0 Left, 1 Centre, 2 Right
  int32_t transparent = 0;
  LogFont font;
  ColorRef foreground = 0;
  ColorRef background = 0;
};

// The stock variable-pitch font the caption starts with.
LogFont DefaultCaptionFont();
// Defaults when the settings are loaded: "%c", Bottom, Centre, opaque, white on black.
std::unique_ptr<CaptionStyle> MakeLoadedDefaultCaptionStyle();
// Defaults of the caption dialog when no record exists: "%c", Top, Left.
std::unique_ptr<CaptionStyle> MakeDialogDefaultCaptionStyle();

// The colour chooser's sixteen custom colours, for the life of the process.
inline constexpr int kCustomColourCount = 16;
ColorRef* CustomColours();

// The caption text holds at most this many bytes before its NUL.
inline constexpr size_t kCaptionTextMax = sizeof(CaptionStyle::text) - 1;

// The longest prefix of text, at most max bytes, that ends on a character boundary
// of the current locale's multibyte encoding (so a cut never leaves half a character).
size_t PrefixAtCharBoundary(const std::string& text, size_t max);

// Stores text as the caption text: cut to kCaptionTextMax bytes, NUL-terminated.
void SetCaptionText(CaptionStyle& style, const std::string& text);

// The caption dialog edits a copy of the record in force (made with the dialog's
// defaults when there is none); OK makes the copy the record in force.
std::unique_ptr<CaptionStyle> BeginCaptionEdit(std::unique_ptr<CaptionStyle>& inForce);

}  // namespace snapvane
