// Times on output lines. Local wall-clock time, the way a plant's clocks and its operators read
// it, with milliseconds: "2026-12-08 14:03:07.123".
#pragma once

#include <chrono>
#include <string>

namespace vpitools {

std::string Timestamp(std::chrono::system_clock::time_point when = std::chrono::system_clock::now());
// The same instant as ISO 8601 with the offset from UTC, "2026-12-08T14:03:07.123+01:00", for
// records read on another machine or after a change of summer time.
std::string IsoTimestamp(std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

}  // namespace vpitools
