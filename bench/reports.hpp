// The two reports every benchmark sends: a short one (one parameter, 46 characters) and a full
// one (all 95 parameters, 986 characters), both with their "\n\r" trailer on the line.
//
// Field 03 carries a running number (1000000 + sequence, always seven digits), so the reader can
// tell every report apart, spot a lost one, and every report keeps exactly the same length.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vpibench {

enum class ReportKind { Short, Full };

constexpr int kStream = 5;
constexpr std::uint32_t kSequenceBase = 1000000;
constexpr std::uint32_t kSequenceSpan = 8999999;  // keeps field 03 at seven digits

inline const char* KindName(ReportKind kind) { return kind == ReportKind::Short ? "short" : "full"; }

inline bool KindFromName(const std::string& name, ReportKind* kind) {
    if (name == "short") *kind = ReportKind::Short;
    else if (name == "full") *kind = ReportKind::Full;
    else return false;
    return true;
}

// The last parameter of a report: its gate is the last one the driver writes for it.
inline int LastParameter(ReportKind kind) { return kind == ReportKind::Short ? 5 : 99; }

// The report text without trailer. Parameter values are six characters and never 0, so every
// one of them is published.
inline std::string ReportText(ReportKind kind, std::uint32_t sequence) {
    char head[64];
    std::snprintf(head, sizeof head, "a;12345;01;07;02;03;03;%07u;04;%02d",
                  static_cast<unsigned>(kSequenceBase + sequence % kSequenceSpan), kStream);
    std::string text = head;
    const int last = LastParameter(kind);
    for (int n = 5; n <= last; ++n) {
        char field[24];
        std::snprintf(field, sizeof field, ";%02d;%d.%04d", n, 1 + n % 9,
                      static_cast<int>((sequence * 7 + static_cast<unsigned>(n) * 131) % 10000));
        text += field;
    }
    return text;
}

inline std::string ReportLine(ReportKind kind, std::uint32_t sequence) {
    return ReportText(kind, sequence) + "\n\r";
}

inline std::size_t LineLength(ReportKind kind) { return ReportLine(kind, 0).size(); }

}  // namespace vpibench
