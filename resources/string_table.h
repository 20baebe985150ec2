#pragma once
// The string table: id -> text (tool tips by control id, the format line).
#include <string>

#include "resources/dialog_ids.h"

namespace snapvane {

// The text of string id, or empty when there is none.
std::string LoadString(int id);

// The format line's pattern: "Width : %d\tHeight : %d\t bpp : %d".
inline constexpr int kFormatLineString = main_control::kFormatLine;

}  // namespace snapvane
