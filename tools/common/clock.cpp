#include "clock.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>

namespace vpitools {

namespace {

struct Split {
    std::tm utc{};
    int milliseconds = 0;
};

Split Parts(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    // Floored, so an instant before 1970 still gets milliseconds 0..999 of its own second.
    const auto seconds = floor<std::chrono::seconds>(when);
    Split split;
    split.utc = fmt::gmtime(system_clock::to_time_t(seconds));
    split.milliseconds = static_cast<int>(duration_cast<milliseconds>(when - seconds).count());
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
