#pragma once
// The string table: id -> text (tool tips by control id, the format line).
#include <string>

namespace snapvane {

// The text of string id, or empty when there is none.
std::string LoadString(int id);

inline constexpr int kFormatLineString = 1004;  // "Width : %d\tHeight : %d\t bpp : %d"

}  // namespace snapvane
