// How the host writes what it shows and records: times, gate values, bytes off the line, and
// lines cut to a terminal's width.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "clock.hpp"

namespace vpihost {

// The describe banner is code page 437; a UTF-8 terminal needs its box and shade characters
// translated. Other bytes below 0x80 pass unchanged.
std::string Cp437ToUtf8(std::string_view text);

// "2024-05-01T12:34:56.789Z" for the CSV, "12:34:56" for the screen: the tools' one clock (UTC),
// the same as the log's and the simulator's, so lines can be matched.
using vpitools::IsoTimestamp;
using vpitools::TimeOfDay;

// A gate value as the CSV and the screen show it: integers whole, reals as the shortest text
// that reads back as the same single-precision value.
std::string FormatGateValue(double value, int gateType);

// Bytes off the line as one readable line: printable ASCII as it is, a backslash doubled, the
// rest as \r, \n or \xNN.
std::string EscapeBytes(std::string_view bytes);

// `line` cut to at most `columns` visible characters. Escape sequences (CSI ... letter) take no
// room and are kept; a UTF-8 sequence counts as one character.
std::string FitWidth(std::string_view line, int columns);

}  // namespace vpihost
