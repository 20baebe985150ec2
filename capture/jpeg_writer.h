#pragma once
// Encodes a packed top-down picture as a baseline JPEG file.
#include <cstdint>

#include "capture/capture_error.h"

namespace snapvane {

// pixels: width*height*3 bytes of RGB (width*height bytes of grey when grey is
// nonzero), rows top-down with nothing between them. quality goes to the library
// unchanged. ok when the whole file was written; on failure no partial file is
// left at path. The library's messages come back as kJpeg errors (a fatal one ends
// this call, not the process); a file that cannot be made gives "can't open".
CaptureResult WriteJpegFile(const uint8_t* pixels, int width, int height, const char* path,
                            int grey, int quality);

// The same, with the rows supplied one at a time as the encoder takes them, so a
// converted frame never needs a whole picture in memory. source returns row y
// (top first): a pointer to width * components bytes, its own or scratch (one row,
// which it may fill). It must not fail; it is called for every row in order.
using JpegRowSource = const uint8_t* (*)(void* context, int y, uint8_t* scratch);
CaptureResult WriteJpegRows(JpegRowSource source, void* context, int width, int height,
                            const char* path, int grey, int quality);

}  // namespace snapvane
