#include "cli.hpp"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <vector>

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

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

bool ReadNumber(const std::string& text, double* value) {
    if (text.empty() || text.find_first_of(" \t") != std::string::npos) return false;
    // Plain decimal only: "inf", "nan" and hexadecimal are no line settings.
    if (text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end != nullptr && *end == '\0';
}

// A name-to-value option: the names in any letter case, the value stored as CLI11 reads it.
template <typename Enum>
CLI::Validator Names(const std::map<std::string, Enum>& names, const std::string& rule) {
    return CLI::Validator(
        [names, rule](std::string& text) {
            std::string key = text;
            for (char& c : key) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            auto found = names.find(key);
            if (found == names.end()) return "must be " + rule + ", not '" + text + "'";
            text = std::to_string(static_cast<int>(found->second));
            return std::string();
        },
        "");
}

// CLI11's failure message, as one sentence after the program's name and a pointer to --help.
std::string FailureMessage(const CLI::App* app, const CLI::Error& error) {
    std::string what = error.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        // What the parse left over, in the order typed. An unknown option is the mistake; the
        // words after it are most likely its value, so only the options are named then.
        std::vector<std::string> options, others;
        for (const std::string& word : app->remaining(true)) {
            (word.size() > 1 && word[0] == '-' ? options : others).push_back(word);
        }
        const auto& named = options.empty() ? others : options;
        std::string list;
        for (const std::string& word : named) list += (list.empty() ? "" : ", ") + word;
        if (!options.empty()) {
            what = (options.size() > 1 ? "unknown options " : "unknown option ") + list;
        } else {
            what = (others.size() > 1 ? "unexpected arguments " : "unexpected argument ") + list;
        }
    } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr &&
               what.find(" required ") != std::string::npos) {
        // "--port: 1 required NAME missing": the option given without its value.
        what.erase(what.find(':'));
        what += " needs a value";
    }
    return app->get_name() + ": " + what + "\nRun '" + app->get_name() +
           " --help' for the options.\n";
}

}  // namespace

CLI::Validator NumberIn(double low, double high) {
    return CLI::Validator(
        [low, high](const std::string& text) {
            double value = 0;
            if (ReadNumber(text, &value) && value >= low && value <= high) return std::string();
            return "must be a number from " + Number(low) + " to " + Number(high) + ", not '" +
                   text + "'";
        },
        "");
}

CLI::Validator NumberAbove(double low) {
    return CLI::Validator(
        [low](const std::string& text) {
            double value = 0;
            if (ReadNumber(text, &value) && value > low) return std::string();
            return "must be a number above " + Number(low) + ", not '" + text + "'";
        },
        "");
}

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
        ->type_name("N")
        ->check(NumberIn(50, 4000000))
        ->capture_default_str();
    app.add_option("--data-bits", line.dataBits, "data bits per character, 5 to 8")
        ->type_name("N")
        ->check(NumberIn(5, 8))
        ->capture_default_str();
    app.add_option("--parity", line.parity, "none, odd, even, mark or space")
        ->type_name("NAME")
        ->transform(Names(kParities, "none, odd, even, mark or space"))
        ->default_str("none");
    app.add_option("--stop-bits", line.stopBits, "1, 1.5 or 2")
        ->type_name("N")
        ->transform(Names(kStopBits, "1, 1.5 or 2"))
        ->default_str("1");
    app.add_option("--read-timeout-ms", line.readTimeoutMs,
                   "the longest one read of the line waits, in milliseconds")
        ->type_name("MS")
        ->check(NumberIn(1, 60000))
        ->capture_default_str();
}

void AddCommonOptions(CLI::App& app, CommonOptions& common,
                      std::function<std::string()> versionText) {
    if (versionText) {
        app.set_version_flag("--version", std::move(versionText), "print the version and exit");
    } else {
        app.add_flag("--version", common.version, "print the version and exit");
    }
    app.add_option("--duration", common.duration, "stop after this many seconds (0: run until stopped)")
        ->check(NumberIn(0, 1e9))
        ->type_name("SECONDS");
    app.add_flag("-q,--quiet", common.quiet, "print nothing but errors");
    app.add_flag("--plain", common.plain, "plain lines only, no screen drawing");
    app.add_option("--log", common.logPath, "keep every message, with date and time, in this file")
        ->type_name("FILE");
}

std::optional<int> ParseCommandLine(CLI::App& app, int argc, const char* const* argv) {
    app.failure_message(FailureMessage);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Help and version go to stdout with status 0; a mistake to stderr, in our words.
        return app.exit(error, std::cout, std::cerr) == 0 ? 0 : 2;
    }
    return std::nullopt;
}

}  // namespace vpitools
