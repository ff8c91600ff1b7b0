// The JSON texts of the gateway's data messages.
#pragma once

#include <string>

#include "report.hpp"

namespace gateway {

// "2026-12-08T16:37:26.123Z": ISO 8601 in UTC with milliseconds.
std::string FormatUtcMs(EpochMs timeMs);

// {"time":"...","values":{"P01":11,"P05":78.0752},"historical":false}: P01..P04 as integers,
// the parameters as the shortest decimal that reads back to the same double.
std::string ReportJson(const Report& report);

}  // namespace gateway
