// The command-line options vpivg-host and vpivg-sim have in common, defined once so both
// programs spell, check and explain them the same way.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace vpitools {

enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, OnePointFive, Two };

// One serial line as a person names it on the command line (or in the host's config).
struct LineOptions {
    std::string port;               // COM5, \\.\COM12, NUL or a device path
    unsigned baud = 9600;
    int dataBits = 8;               // 5..8
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    int readTimeoutMs = 1000;       // the longest one read of the line waits
};

// Value checks whose complaints name the option's rule and the value given, for CLI11's
// ->check(): "must be a number from 50 to 4000000, not 'fast'".
CLI::Validator NumberIn(double low, double high);
CLI::Validator NumberAbove(double low);  // strictly above `low`

// "9600 8N1", "19200 7E1.5": how the line is written on a label or in a capture header.
std::string Describe(const LineOptions& line);
const char* ParityName(Parity parity);      // "none", "odd", ...
const char* StopBitsName(StopBits stopBits);  // "1", "1.5", "2"

// --port, --baud, --data-bits, --parity, --stop-bits, --read-timeout-ms.
void AddLineOptions(CLI::App& app, LineOptions& line);

struct CommonOptions {
    double duration = 0;   // seconds; 0 runs until stopped
    bool quiet = false;    // errors only
    bool plain = false;    // plain lines, no screen drawing
    std::string logPath;   // "" for no log file
    bool version = false;  // --version given, for a program that answers it itself
};

// --version (prints versionText() and exits 0), --duration, --quiet, --plain, --log. A program
// whose version text depends on other options (the host reports the driver it would load, which
// --driver names) passes no versionText and answers `version` after the parse.
void AddCommonOptions(CLI::App& app, CommonOptions& common,
                      std::function<std::string()> versionText);

// Parses argv. Gives nothing when the program should go on; otherwise the exit status it should
// end with at once: 0 after --help or --version (printed on stdout), 2 after a usage error,
// which is named on stderr as "<program>: <what is wrong>" with a pointer to --help.
std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv);

}  // namespace vpitools
