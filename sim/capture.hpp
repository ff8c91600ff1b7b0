// Capture files, what the simulator records from the line and replays onto it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lines.hpp"

namespace vpisim {

// Capture files: one line per chunk, "<ms offset> <hex bytes>", '#' starts a comment. A
// capture begins with a header line saying when, where and at what line settings it was made,
// and a capture that was finished properly ends with an end line; both are comments to replay.
struct CaptureChunk {
    std::uint64_t offsetMs;
    std::string bytes;
};
struct CaptureHeader {
    std::string start;   // ISO 8601 with the offset from UTC
    std::string port;    // as given, e.g. "COM5"
    std::string device;  // what it resolved to, e.g. "/dev/ttyUSB0"
    std::string line;    // "9600 8N1"
};
// "# vpivg-sim capture start=... port=... device=... line=9600 8N1" and the column legend.
std::string FormatCaptureHeader(const CaptureHeader& header);
// The header of a capture text, if it has one on its first line.
std::optional<CaptureHeader> ParseCaptureHeader(std::string_view text);
// "# end bytes=N": written when the recording ended as planned.
std::string FormatCaptureEnd(std::uint64_t bytes);
// True when the text carries the end line, so the recording was not cut short.
bool CaptureHasEnd(std::string_view text);
bool ParseCapture(std::string_view text, std::vector<CaptureChunk>* chunks, std::string* why);
std::string FormatCaptureChunk(const CaptureChunk& chunk);
// Writes the chunks at their offsets; false if a write failed or `stop` was set first.
bool ReplayCapture(SimLine& line, const std::vector<CaptureChunk>& chunks,
                   const std::atomic<bool>& stop, double speed = 1.0);

}  // namespace vpisim
