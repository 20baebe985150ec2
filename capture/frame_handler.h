#pragma once
// Turns one captured frame into the snapshot file.
#include <cstdint>
#include <string>

#include "capture/capture_control.h"
#include "capture/frame_view.h"

namespace snapvane {

// The single-frame handler (UI thread): burns in the caption when options carry
// one, converts the frame (16, 24 or 32 bits, either row order) to top-down RGB
// and writes it to jpegPath at options.quality. Depths 2, 4 and 8 give a black
// picture of the frame's size and ask for a beep. ok only when the file was
// written; the writer's messages come back in the result.
CaptureResult FrameHandler(const FrameView& frame, const std::string& jpegPath,
                           const EncodeOptions& options);

// The conversion on its own: the frame into rgb (width * height * 3 bytes,
// top-down). Rows the frame does not hold, and depths other than 16, 24 and 32,
// come out black. False when the depth was not converted.
bool ConvertFrameToRgb(const FrameView& frame, uint8_t* rgb);

}  // namespace snapvane
