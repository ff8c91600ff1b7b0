#include "clock.hpp"

#include <ctime>

#include <fmt/chrono.h>
#include <fmt/format.h>

namespace vpitools {

namespace {

struct Split {
    std::tm utc{};
    int milliseconds = 0;
};

// The calendar of the standard library rather than gmtime: it needs no shared C library state
// and has no instant it refuses (Windows' gmtime_s fails before 1970, fmt then throws).
Split Parts(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    // Floored, so an instant before 1970 still gets milliseconds 0..999 of its own second.
    const auto second = floor<seconds>(when);
    const auto day = floor<days>(second);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{second - day};
    Split split;
    split.utc.tm_year = static_cast<int>(date.year()) - 1900;
    split.utc.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
    split.utc.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
    split.utc.tm_hour = static_cast<int>(time.hours().count());
    split.utc.tm_min = static_cast<int>(time.minutes().count());
    split.utc.tm_sec = static_cast<int>(time.seconds().count());
    split.utc.tm_wday = static_cast<int>(weekday{day}.c_encoding());
    split.utc.tm_yday = static_cast<int>((day - sys_days{date.year() / January / 1}).count());
    split.milliseconds = static_cast<int>(duration_cast<milliseconds>(when - second).count());
    return split;
}

}  // namespace

// fmt 9 formats a time_point in local time and drops what is below the second, so the broken-
// down UTC time is formatted and the milliseconds are added here.
std::string IsoTimestamp(std::chrono::system_clock::time_point when) {
    const Split split = Parts(when);
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", split.utc, split.milliseconds);
}

std::string TimeOfDay(std::chrono::system_clock::time_point when) {
    return fmt::format("{:%H:%M:%S}", Parts(when).utc);
}

}  // namespace vpitools
