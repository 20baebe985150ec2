#pragma once
// The caption renderer the program is handed where text can be drawn.
#include "capture/capture_control.h"

namespace snapvane {

// Draws the caption when the application can draw text (a QGuiApplication);
// without one the picture goes out without its caption.
void BurnCaptionWhenPossible(const CaptionStyle& style, const FrameView& frame);

}  // namespace snapvane
