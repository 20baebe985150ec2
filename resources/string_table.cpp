#include "resources/string_table.h"

#include <map>

#include "resources/dialog_ids.h"

namespace snapvane {

std::string LoadString(int id) {
  // Each main-window control's tool tip is the string of its own number.
  using namespace main_control;
  static const std::map<int, const char*> kTable = {
      {kSource, "Control video source."},
      {kFormat, "Select video format."},
      {kDisplay, "Set or adjust video output."},
      {kPreviewVideo, "Display video capture preview."},
      {kFormatLine, "Width : %d\tHeight : %d\t bpp : %d"},
      {kSaveFile, "Save a file every interval."},
      {kFileName, "Filename to save locally."},
      {kChooseFile, "Select filename."},
      {kInterval, "Time interval between captures."},
      {kIntervalUnit, "Interval units."},
      {kEnableHttp, "Check to allow HTTP (web) access to your camera."},
      {kLog, "Hits this session."},
      {kTimeRemaining, "Time until next automatic update."},
      {kEnableFtp, "Check to automitacally upload image to FTP site."},
      {kProgress, "Current file transfer outstanding."},
      {kHttpSettings, "HTTP configuration."},
      {kFtpSettings, "FTP configuration."},
      {kTakePicture, "Take picture now."},
      {kCaptionImage, "Caption images."},
      {kCaptionSettings, "Caption configuration."},
      {kQuality, "Jpeg image quality."},
      {kAbout, "About Snapvane."},
      {kClose, "Close Snapvane."},
  };
  auto it = kTable.find(id);
  return it == kTable.end() ? std::string() : std::string(it->second);
}

}  // namespace snapvane
