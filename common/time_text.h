#pragma once
// The 24-character time text of every log line, e.g. "Sun Dec 06 01:50:28 2026":
// English names and a zero-padded day whatever the locale.
#include <ctime>
#include <string>

namespace snapvane {

// Formats the local broken-down time t. Thread-safe: no shared static buffer.
std::string TimeText(const std::tm& t);
// The local time of `when` (localtime_r).
std::tm LocalTime(std::time_t when);
// The time text of now.
std::string NowText();

}  // namespace snapvane
