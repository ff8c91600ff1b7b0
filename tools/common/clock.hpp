// Times on output lines and in records, for both programs alike: UTC, the clock the host's log,
// its CSV and a broker already use, so that lines from the host, the simulator and a capture
// can be laid side by side on any machine, whatever its time zone or summer time.
#pragma once

#include <chrono>
#include <string>

namespace vpitools {

// "2026-12-08T14:03:07.123Z": ISO 8601 with milliseconds.
std::string IsoTimestamp(std::chrono::system_clock::time_point when = std::chrono::system_clock::now());
// "14:03:07": the same clock to the second, for a screen.
std::string TimeOfDay(std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

}  // namespace vpitools
