#include "capture/caption_style.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace snapvane {

LogFont DefaultCaptionFont() {
  LogFont f;
  f.lfHeight = -13;  // 13-pixel characters, like the stock variable-pitch font
  f.lfWeight = 400;
  f.lfPitchAndFamily = 0x22;  // variable pitch, swiss (sans serif)
  std::strncpy(f.lfFaceName, "Sans Serif", sizeof f.lfFaceName - 1);
  return f;
}

namespace {
std::unique_ptr<CaptionStyle> MakeStyle(int32_t valign, int32_t halign) {
  auto s = std::make_unique<CaptionStyle>();
  std::strcpy(s->text, "%c");
  s->valign = valign;
  s->halign = halign;
  s->transparent = 0;
  s->font = DefaultCaptionFont();
  s->foreground = 0xFFFFFF;
  s->background = 0;
  return s;
}
}  // namespace

std::unique_ptr<CaptionStyle> MakeLoadedDefaultCaptionStyle() { return MakeStyle(2, 1); }
std::unique_ptr<CaptionStyle> MakeDialogDefaultCaptionStyle() { return MakeStyle(0, 0); }

ColorRef* CustomColours() {
  auto rgb = [](uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); };
  static ColorRef table[16] = {
      rgb(85, 85, 85),    rgb(85, 85, 170),   rgb(85, 170, 85),   rgb(85, 170, 170),
      rgb(170, 85, 85),   rgb(170, 85, 170),  rgb(170, 170, 85),  rgb(170, 170, 170),
      rgb(0, 0, 0),       rgb(32, 32, 32),    rgb(64, 64, 64),    rgb(96, 96, 96),
      rgb(128, 128, 128), rgb(160, 160, 160), rgb(192, 192, 192), rgb(224, 224, 224)};
  return table;
}

size_t PrefixAtCharBoundary(const std::string& text, size_t max) {
  if (text.size() <= max) return text.size();
  if (MB_CUR_MAX == 1) return max;
  std::mbstate_t state{};
  size_t pos = 0;
  while (pos < max) {
    size_t n = std::mbrlen(text.data() + pos, text.size() - pos, &state);
    if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      n = 1;  // not a valid character: the byte counts alone
      state = std::mbstate_t{};
    }
    if (pos + n > max) break;
    pos += n;
  }
  return pos;
}

void SetCaptionText(CaptionStyle& style, const std::string& text) {
  const size_t n = PrefixAtCharBoundary(text, kCaptionTextMax);
  std::memset(style.text, 0, sizeof style.text);
  std::memcpy(style.text, text.data(), n);
}

std::unique_ptr<CaptionStyle> BeginCaptionEdit(std::unique_ptr<CaptionStyle>& inForce) {
  if (!inForce) inForce = MakeDialogDefaultCaptionStyle();
  return std::make_unique<CaptionStyle>(*inForce);
}

}  // namespace snapvane
