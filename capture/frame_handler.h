#pragma once
// Turns one captured frame into the snapshot file.
#include <cstdint>
#include <cstddef>

#include "capture/capture_device.h"

namespace snapvane {

struct AppState;

// The single-frame callback (UI thread). Removes its own registration first, then
// burns in the caption when captions are on, converts the bottom-up DIB frame
// (16, 24 or 32 bits) to top-down RGB and writes it to state.snapshotPath at
// state.quality. Depths 2, 4 and 8 beep and give a black picture of the frame's
// size. True only when the file was written.
bool FrameHandler(AppState& state, const VideoHdr& frame);

// The conversion on its own: frame bytes (bytesUsed of them, never read past) laid
// out as header describes, into rgb (width * |height| * 3 bytes, top-down). Rows the
// frame does not hold, and depths other than 16, 24 and 32, come out black.
// False when the depth was not converted.
bool ConvertFrameToRgb(const BitmapInfoHeader& header, const uint8_t* frame, size_t bytesUsed,
                       uint8_t* rgb);

}  // namespace snapvane
