#include "cli.hpp"

#include <iostream>
#include <map>
#include <sstream>

namespace vpitools {

namespace {

// Each setting accepts its names in any letter case, and the one-letter forms of a line label.
const std::map<std::string, Parity> kParities = {
    {"none", Parity::None}, {"n", Parity::None},   {"odd", Parity::Odd},
    {"o", Parity::Odd},     {"even", Parity::Even}, {"e", Parity::Even},
    {"mark", Parity::Mark}, {"m", Parity::Mark},   {"space", Parity::Space},
    {"s", Parity::Space},
};
const std::map<std::string, StopBits> kStopBits = {
    {"1", StopBits::One}, {"1.5", StopBits::OnePointFive}, {"2", StopBits::Two}};

// CLI11's own words for an error, made to read as one sentence after the program's name.
std::string Explain(const CLI::Error& error) {
    std::string what = error.what();
    if (error.get_name() == "ExtrasError") {
        // "The following arguments were not expected: --foo" -> name the culprit plainly.
        const std::string marker = "were not expected: ";
        std::size_t at = what.find(marker);
        if (at != std::string::npos) return "unknown option or argument: " + what.substr(at + marker.size());
    }
    if (error.get_name() == "RequiredError") return what;
    return what;
}

}  // namespace

const char* ParityName(Parity parity) {
    switch (parity) {
        case Parity::None: return "none";
        case Parity::Odd: return "odd";
        case Parity::Even: return "even";
        case Parity::Mark: return "mark";
        case Parity::Space: return "space";
    }
    return "?";
}

const char* StopBitsName(StopBits stopBits) {
    switch (stopBits) {
        case StopBits::One: return "1";
        case StopBits::OnePointFive: return "1.5";
        case StopBits::Two: return "2";
    }
    return "?";
}

std::string Describe(const LineOptions& line) {
    std::ostringstream text;
    char parity = static_cast<char>(ParityName(line.parity)[0] - 'a' + 'A');
    text << line.baud << ' ' << line.dataBits << parity << StopBitsName(line.stopBits);
    return text.str();
}

void AddLineOptions(CLI::App& app, LineOptions& line) {
    app.add_option("-p,--port", line.port,
                   "serial port: COM5, \\\\.\\COM12, NUL or a device path such as /dev/ttyUSB0")
        ->type_name("NAME");
    app.add_option("--baud", line.baud, "line speed in baud")
        ->check(CLI::Range(50u, 4000000u))
        ->capture_default_str();
    app.add_option("--data-bits", line.dataBits, "data bits per character")
        ->check(CLI::Range(5, 8))
        ->capture_default_str();
    app.add_option("--parity", line.parity, "none, odd, even, mark or space")
        ->transform(CLI::CheckedTransformer(kParities, CLI::ignore_case))
        ->default_str("none");
    app.add_option("--stop-bits", line.stopBits, "1, 1.5 or 2")
        ->transform(CLI::CheckedTransformer(kStopBits))
        ->default_str("1");
    app.add_option("--read-timeout-ms", line.readTimeoutMs,
                   "the longest one read of the line waits, in milliseconds")
        ->check(CLI::Range(1, 60000))
        ->capture_default_str();
}

void AddCommonOptions(CLI::App& app, CommonOptions& common,
                      std::function<std::string()> versionText) {
    app.set_version_flag("--version", std::move(versionText), "print the version and exit");
    app.add_option("--duration", common.duration, "stop after this many seconds (0: run until stopped)")
        ->check(CLI::NonNegativeNumber)
        ->type_name("SECONDS");
    app.add_flag("-q,--quiet", common.quiet, "print nothing but errors");
    app.add_flag("--plain", common.plain, "plain lines only, no screen drawing");
    app.add_option("--log", common.logPath, "keep every message, with date and time, in this file")
        ->type_name("FILE");
}

std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return 0;
    } catch (const CLI::CallForVersion& version) {
        std::cout << version.what() << '\n';
        return 0;
    } catch (const CLI::ParseError& error) {
        std::cerr << app.get_name() << ": " << Explain(error) << "\n"
                  << "Run '" << app.get_name() << " --help' for the options.\n";
        return 2;
    }
    return std::nullopt;
}

}  // namespace vpitools
