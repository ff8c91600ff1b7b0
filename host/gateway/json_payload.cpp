#include "json_payload.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

namespace gateway {

std::string FormatUtcMs(EpochMs timeMs) {
    using namespace std::chrono;
    const sys_time<milliseconds> time{milliseconds(timeMs)};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> clock{time - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()),
                  static_cast<int>(clock.subseconds().count()));
    return text;
}

std::string ReportJson(const Report& report) {
    // Keys in the order written: time, values (in the driver's order), historical.
    nlohmann::ordered_json values = nlohmann::ordered_json::object();
    for (const ReportValue& reported : report.values) {
        char key[8];
        std::snprintf(key, sizeof key, "P%02d", reported.param);
        const double value = reported.value;
        // The fixed fields are 16-bit counts and numbers; as integers they read as such in every
        // consumer. Anything else (a parameter, or a fixed field that is not a whole number)
        // goes as a double, which nlohmann writes in the shortest form that reads back exact.
        if (reported.param <= 4 && std::trunc(value) == value && std::fabs(value) < 9.0e15) {
            values[key] = static_cast<std::int64_t>(value);
        } else if (std::isfinite(value)) {
            values[key] = value;
        } else {
            values[key] = nullptr;  // JSON has no NaN or infinity
        }
    }
    nlohmann::ordered_json message = nlohmann::ordered_json::object();
    message["time"] = FormatUtcMs(report.timeMs);
    message["values"] = std::move(values);
    message["historical"] = report.historical;
    return message.dump();
}

}  // namespace gateway
