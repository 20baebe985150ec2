#pragma once
// What a capture tells the person at the window: the core returns it, the window
// beeps and shows one box per error, in order. Nothing here shows anything.
#include <string>
#include <utility>
#include <vector>

namespace snapvane {

enum class CaptureStep {
  kOpen,    // the device would not open for a single frame
  kFrame,   // no frame came
  kClose,   // the device would not close
  kFormat,  // the device has no usable format
  kFile,    // the picture file could not be made
  kJpeg,    // the JPEG library's own message
};

// The title of the boxes for the JPEG library's messages (shown with a stop sign).
inline constexpr char kJpegErrorTitle[] = "Error In Jpeg Library";

struct CaptureError {
  CaptureStep step;
  std::string text;  // what a person is shown, byte for byte
  bool operator==(const CaptureError&) const = default;
};

struct CaptureResult {
  bool ok = false;    // the whole picture was written
  bool beep = false;  // the frame had a depth without conversion: the picture is black
  std::vector<CaptureError> errors;  // in the order they happened

  void Add(CaptureStep step, std::string text) { errors.push_back({step, std::move(text)}); }
  // Another capture's beep and errors after these (ok is left alone).
  void Append(CaptureResult&& other) {
    beep = beep || other.beep;
    for (CaptureError& e : other.errors) errors.push_back(std::move(e));
  }
};

}  // namespace snapvane
