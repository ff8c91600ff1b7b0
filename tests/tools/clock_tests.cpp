// The one clock of both programs: UTC whatever the machine's time zone, to the millisecond.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

#include "clock.hpp"

namespace {

using namespace std::chrono;

void SetZone(const char* zone) {
#if defined(_WIN32)
    _putenv_s("TZ", zone);
    _tzset();
#else
    setenv("TZ", zone, 1);
    tzset();
#endif
}

TEST(Clock, TimesAreUtcWithMillisecondsWhateverTheTimeZone) {
    // 2024-05-01 12:34:56.789 UTC; the machine in Central European summer time.
    const system_clock::time_point when{seconds{1714566896} + milliseconds{789}};
    const char* before = std::getenv("TZ");
    const std::string saved = before ? before : "";
    SetZone("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(vpitools::IsoTimestamp(when), "2024-05-01T12:34:56.789Z");
    EXPECT_EQ(vpitools::TimeOfDay(when), "12:34:56");
    // Milliseconds are those of the instant's own second, also before 1970, and never rounded
    // up into the next second.
    EXPECT_EQ(vpitools::IsoTimestamp(system_clock::time_point{milliseconds{-1}}),
              "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(vpitools::IsoTimestamp(when + microseconds{999}), "2024-05-01T12:34:56.789Z");
    EXPECT_EQ(vpitools::IsoTimestamp(system_clock::time_point{seconds{951782400}}),
              "2000-02-29T00:00:00.000Z");
    SetZone(saved.c_str());
}

}  // namespace
