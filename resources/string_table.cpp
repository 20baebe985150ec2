#include "resources/string_table.h"

#include <map>

namespace snapvane {

std::string LoadString(int id) {
  static const std::map<int, const char*> kTable = {
      {1000, "Control video source."},
      {1001, "Select video format."},
      {1002, "Set or adjust video output."},
      {1003, "Display video capture preview."},
      {1004, "Width : %d\tHeight : %d\t bpp : %d"},
      {1005, "Save a file every interval."},
      {1006, "Filename to save locally."},
      {1007, "Select filename."},
      {1008, "Time interval between captures."},
      {1009, "Interval units."},
      {1010, "Check to allow HTTP (web) access to your camera."},
      {1012, "Hits this session."},
      {1013, "Time until next automatic update."},
      {1017, "Check to automitacally upload image to FTP site."},
      {1024, "Current file transfer outstanding."},
      {1025, "HTTP configuration."},
      {1026, "FTP configuration."},
      {1027, "Take picture now."},
      {1028, "Caption images."},
      {1029, "Caption configuration."},
      {1030, "Jpeg image quality."},
      {1031, "About Snapvane."},
      {1032, "Close Snapvane."},
  };
  auto it = kTable.find(id);
  return it == kTable.end() ? std::string() : std::string(it->second);
}

}  // namespace snapvane
