#include "capture/frame_image.h"

namespace snapvane {

QImage::Format ImageFormatOfDepth(uint16_t depth) {
  switch (depth) {
    case 8:
      return QImage::Format_Indexed8;
    case 16:
      return QImage::Format_RGB555;
    case 24:
      return QImage::Format_BGR888;
    case 32:
      return QImage::Format_RGB32;
    default:
      return QImage::Format_Invalid;
  }
}

}  // namespace snapvane
