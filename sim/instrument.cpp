#include "instrument.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <sstream>

namespace vpisim {

namespace {

// Dry air by volume, in percent, and how many decimals the instrument prints for each. The
// decimals keep every value at five or six significant digits, so a float holds the printed
// value exactly enough that two different texts never collapse into one float.
struct Gas {
    const char* name;
    double percent;
    int decimals;
};
constexpr Gas kGases[] = {
    {"N2", 78.0840, 4},   {"O2", 20.9460, 4},   {"Ar", 0.93400, 5},   {"CO2", 0.04150, 5},
    {"Ne", 0.001818, 6},  {"He", 0.000524, 6},  {"CH4", 0.000190, 6}, {"Kr", 0.000114, 6},
    {"H2", 0.0000550, 7}, {"N2O", 0.0000330, 7}, {"CO", 0.0000100, 7}, {"Xe", 0.0000087, 8},
};
constexpr int kFirstParameter = 5;
constexpr int kGasCount = static_cast<int>(sizeof kGases / sizeof kGases[0]);

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

const char* FaultName(Fault fault) {
    switch (fault) {
        case Fault::None: return "none";
        case Fault::Noise: return "noise";
        case Fault::Cut: return "cut";
        case Fault::Reversed: return "reversed";
        case Fault::Malformed: return "malformed";
        case Fault::Overlong: return "overlong";
    }
    return "?";
}

std::optional<Fault> FaultFromName(std::string_view name) {
    for (Fault f : {Fault::None, Fault::Noise, Fault::Cut, Fault::Reversed, Fault::Malformed,
                    Fault::Overlong}) {
        if (name == FaultName(f)) return f;
    }
    return std::nullopt;
}

std::string ParameterName(int parameter) {
    int index = parameter - kFirstParameter;
    if (index >= 0 && index < kGasCount) return kGases[index].name;
    return "m/z " + std::to_string(parameter);
}

std::string SentReport::LogLine() const {
    std::ostringstream line;
    line << "seq=" << sequence << " stream=" << (stream < 10 ? "0" : "") << stream
         << " fault=" << FaultName(fault) << (polled ? " polled" : "") << " 01=" << value01
         << " 02=" << value02 << " 03=" << value03;
    for (const auto& [number, text] : parameters) {
        line << ' ' << (number < 10 ? "0" : "") << number << '=' << text;
    }
    return line.str();
}

StreamValues::StreamValues(int stream, int lastParameter, std::uint32_t seed)
    : lastParameter_(lastParameter),
      random_(seed ^ (static_cast<std::uint32_t>(stream) * 2654435761u)) {
    for (int p = kFirstParameter; p <= lastParameter; ++p) {
        int index = p - kFirstParameter;
        Channel c{};
        if (index < kGasCount) {
            c.base = kGases[index].percent;
            c.decimals = kGases[index].decimals;
        } else {
            // Channels past the gas table: ion currents in arbitrary units around 1, printed
            // short so that a report of all 95 parameters still fits the receiver's 1001
            // characters.
            c.base = 0.5 + 0.1 * (p % 13);
            c.decimals = 3;
        }
        // Streams sample different points of the plant, so their levels differ a little.
        c.base *= 1.0 + 0.01 * ((stream * 7 + p) % 5 - 2);
        c.value = c.base;
        channels_.push_back(c);
    }
}

std::map<int, std::string> StreamValues::Next() {
    std::map<int, std::string> texts;
    std::normal_distribution<double> step(0.0, 0.002);
    std::uniform_int_distribution<int> coin(0, 1);
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        Channel& c = channels_[i];
        c.value += c.base * step(random_);
        c.value = std::clamp(c.value, c.base * 0.97, c.base * 1.03);
        double unit = std::pow(10.0, -c.decimals);
        std::string text = Fixed(std::max(c.value, unit), c.decimals);
        if (text == c.lastText) {
            // Never the same text twice in a row: every report moves every gate.
            double nudged = std::round(c.value / unit) * unit + (coin(random_) ? unit : -unit);
            if (nudged < unit) nudged = 2 * unit;
            c.value = nudged;
            text = Fixed(nudged, c.decimals);
        }
        c.lastText = text;
        texts[kFirstParameter + static_cast<int>(i)] = text;
    }
    return texts;
}

std::string FormatReport(int header, const SentReport& report) {
    char head[96];
    std::snprintf(head, sizeof head, "a;%d;01;%02d;02;%02d;03;%ld;04;%02d", header,
                  report.value01 % 100, report.value02 % 100, report.value03 % 10000000L,
                  report.stream % 100);
    std::string text = head;
    for (const auto& [number, value] : report.parameters) {
        char tag[8];
        std::snprintf(tag, sizeof tag, ";%02d;", number);
        text += tag;
        text += value;
    }
    return text;
}

}  // namespace vpisim
