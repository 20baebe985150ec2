#pragma once
// Frames as QImages: the one place a frame depth picks an image format.
#include <QImage>
#include <cstdint>

namespace snapvane {

// 8 bits: indexed (the colour table is the caller's); 16: xRRRRRGGGGGBBBBB;
// 24: bytes B, G, R; 32: bytes B, G, R, x. Format_Invalid for any other depth.
QImage::Format ImageFormatOfDepth(uint16_t depth);

}  // namespace snapvane
