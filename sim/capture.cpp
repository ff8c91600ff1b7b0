#include "capture.hpp"

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <thread>

namespace vpisim {

std::string FormatCaptureChunk(const CaptureChunk& chunk) {
    static const char* kHex = "0123456789abcdef";
    std::string line = std::to_string(chunk.offsetMs);
    line += ' ';
    for (unsigned char c : chunk.bytes) {
        line += kHex[c >> 4];
        line += kHex[c & 15];
    }
    return line;
}

namespace {
constexpr std::string_view kHeaderStart = "# vpivg-sim capture ";
constexpr std::string_view kEndLine = "# end bytes=";

// The value of "key=" in a header line: up to the next " key=" or the end.
std::string HeaderField(std::string_view line, std::string_view key,
                        std::initializer_list<std::string_view> keys) {
    std::size_t at = line.find(" " + std::string(key) + "=");
    if (at == std::string_view::npos) return {};
    at += key.size() + 2;
    std::size_t end = line.size();
    for (std::string_view other : keys) {
        std::size_t next = line.find(" " + std::string(other) + "=", at);
        if (next != std::string_view::npos) end = std::min(end, next);
    }
    return std::string(line.substr(at, end - at));
}
}  // namespace

std::string FormatCaptureHeader(const CaptureHeader& header) {
    return std::string(kHeaderStart) + "start=" + header.start + " port=" + header.port +
           " device=" + header.device + " line=" + header.line +
           "\n# <ms offset> <hex bytes>\n";
}

std::optional<CaptureHeader> ParseCaptureHeader(std::string_view text) {
    std::string_view first = text.substr(0, text.find('\n'));
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    if (first.rfind(kHeaderStart, 0) != 0) return std::nullopt;
    // The port and device may hold spaces (a Linux path can); the keys cannot.
    const std::string_view line = first.substr(kHeaderStart.size() - 1);
    const auto keys = {std::string_view("start"), std::string_view("port"),
                       std::string_view("device"), std::string_view("line")};
    CaptureHeader header;
    header.start = HeaderField(line, "start", keys);
    header.port = HeaderField(line, "port", keys);
    header.device = HeaderField(line, "device", keys);
    header.line = HeaderField(line, "line", keys);
    if (header.start.empty() || header.port.empty()) return std::nullopt;
    return header;
}

std::string FormatCaptureEnd(std::uint64_t bytes) {
    return std::string(kEndLine) + std::to_string(bytes) + "\n";
}

bool CaptureHasEnd(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::size_t start = text.rfind('\n');
    std::string_view last = text.substr(start == std::string_view::npos ? 0 : start + 1);
    return last.rfind(kEndLine, 0) == 0;
}

bool ParseCapture(std::string_view text, std::vector<CaptureChunk>* chunks, std::string* why) {
    chunks->clear();
    int lineNumber = 0;
    std::uint64_t previous = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;
        line.remove_prefix(first);
        auto fail = [&](const std::string& what) {
            if (why) *why = "line " + std::to_string(lineNumber) + ": " + what;
            return false;
        };
        std::size_t space = line.find_first_of(" \t");
        std::string_view offsetText = line.substr(0, space);
        std::uint64_t offset = 0;
        if (offsetText.empty() || offsetText.size() > 12) return fail("bad time offset");
        for (char c : offsetText) {
            if (c < '0' || c > '9') return fail("time offset is not a number of milliseconds");
            offset = offset * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (offset < previous) return fail("time offsets must not go backwards");
        previous = offset;
        std::string bytes;
        std::string_view hex = space == std::string_view::npos ? "" : line.substr(space);
        int nibbles = 0;
        int current = 0;
        for (char c : hex) {
            if (c == ' ' || c == '\t') continue;
            int v;
            if (c >= '0' && c <= '9') v = c - '0';
            else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
            else return fail(std::string("not a hex digit: '") + c + "'");
            current = current * 16 + v;
            if (++nibbles % 2 == 0) {
                bytes += static_cast<char>(current);
                current = 0;
            }
        }
        if (nibbles % 2) return fail("odd number of hex digits");
        chunks->push_back({offset, std::move(bytes)});
    }
    return true;
}

bool ReplayCapture(SimLine& line, const std::vector<CaptureChunk>& chunks,
                   const std::atomic<bool>& stop, double speed) {
    using Clock = std::chrono::steady_clock;
    if (speed <= 0) speed = 1.0;
    auto start = Clock::now();
    for (const CaptureChunk& chunk : chunks) {
        auto due = start + std::chrono::microseconds(
                               static_cast<long long>(chunk.offsetMs * 1000.0 / speed));
        while (Clock::now() < due) {
            if (stop) return false;
            auto left = due - Clock::now();
            std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(20)));
        }
        if (stop) return false;
        if (!line.Write(chunk.bytes)) return false;
    }
    return true;
}

}  // namespace vpisim
