#include "clock.hpp"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "os.hpp"

namespace vpitools {

namespace {

struct Parts {
    std::tm local{};
    int milliseconds = 0;
    long offsetMinutes = 0;  // local time minus UTC
};

// The C library's time-zone state is shared: mktime may reload it while another thread reads
// it, so the conversions go one at a time.
std::mutex zoneLock;

Parts Split(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    std::lock_guard lock(zoneLock);
    Parts parts;
    const auto sinceEpoch = when.time_since_epoch();
    const std::time_t seconds = static_cast<std::time_t>(floor<std::chrono::seconds>(sinceEpoch).count());
    parts.milliseconds = static_cast<int>(
        (duration_cast<milliseconds>(sinceEpoch) - duration_cast<milliseconds>(floor<std::chrono::seconds>(sinceEpoch))).count());
    parts.local = LocalTime(seconds);
    std::tm utc = UtcTime(seconds);
    // The offset is the difference of the two broken-down times, read as if both were UTC.
    std::tm localCopy = parts.local;
    localCopy.tm_isdst = 0;
    utc.tm_isdst = 0;
    parts.offsetMinutes =
        static_cast<long>(std::difftime(std::mktime(&localCopy), std::mktime(&utc)) / 60);
    return parts;
}

}  // namespace

std::string Timestamp(std::chrono::system_clock::time_point when) {
    const Parts parts = Split(when);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts.local);
    char full[64];
    std::snprintf(full, sizeof full, "%s.%03d", text, parts.milliseconds);
    return full;
}

std::string IsoTimestamp(std::chrono::system_clock::time_point when) {
    const Parts parts = Split(when);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts.local);
    const long offset = parts.offsetMinutes < 0 ? -parts.offsetMinutes : parts.offsetMinutes;
    char full[96];
    std::snprintf(full, sizeof full, "%s.%03d%c%02ld:%02ld", text, parts.milliseconds,
                  parts.offsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return full;
}

}  // namespace vpitools
