#include "capture/caption_style.h"

#include <cstring>

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

}  // namespace snapvane
