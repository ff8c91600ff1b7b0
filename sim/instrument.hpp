// The instrument itself: its drifting gas-analysis values, the report text it puts on the line,
// and what a fault did to a report, as the sent log records it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vpisim {

// What a fault did to one report.
enum class Fault {
    None,
    Noise,      // junk bytes (never an "a") ahead of the report; the report itself is intact
    Cut,        // the report stops part way, no trailer; a pause lets the receiver give up
    Reversed,   // the trailer is CR LF instead of LF CR; a pause lets the receiver give up
    Malformed,  // a field the parser refuses (tag, length or order)
    Overlong,   // a line far longer than the receiver collects
};
const char* FaultName(Fault fault);
std::optional<Fault> FaultFromName(std::string_view name);

// One report as the simulator put it on the line.
struct SentReport {
    std::uint64_t sequence = 0;
    int stream = 0;
    int value01 = 0;
    int value02 = 0;
    long value03 = 0;
    std::map<int, std::string> parameters;  // parameter number -> value text as sent
    Fault fault = Fault::None;
    bool polled = false;  // sent in answer to a poll
    // True when the report reached the line whole and well formed, so the driver must publish
    // it: untouched reports and those that only had noise ahead of them.
    bool Intact() const { return fault == Fault::None || fault == Fault::Noise; }
    std::string LogLine() const;
};

// Drifting values for one stream. Each value keeps a fixed number of decimals, so the text is
// what the float on the far side must equal, and never repeats the previous text, so every
// report changes every gate.
class StreamValues {
public:
    StreamValues(int stream, int lastParameter, std::uint32_t seed);
    // Moves every value one step and returns the texts for parameters 5..lastParameter.
    std::map<int, std::string> Next();
    int LastParameter() const { return lastParameter_; }

private:
    struct Channel {
        double base;
        double value;
        int decimals;
        std::string lastText;
    };
    int lastParameter_;
    std::vector<Channel> channels_;  // index 0 = parameter 5
    std::mt19937 random_;
};

// Gas names of the parameters, for display ("N2", "O2", ...; "m/z 40" style past the table).
std::string ParameterName(int parameter);

// The report text "a;<header>;01;..;02;..;03;..;04;..;05;..." without trailer.
std::string FormatReport(int header, const SentReport& report);

}  // namespace vpisim
