// ParsePacket against an independent, straightforward reading of the same text: a crash, a read
// past the text, or any field that disagrees with the reference is a failure.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "datapath/datapath.hpp"
#include "fuzz_common.hpp"

namespace {

using fuzzsupport::PlainAtoi;

// A bit pattern no conversion can produce (a signalling NaN), so untouched slots are visible.
constexpr std::uint32_t kUntouched = 0x7fa1b2c3u;

std::uint32_t Bits(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The longest prefix of `text` that the atof grammar takes: blanks, sign, digits with at most
// one point (at least one digit), then an exponent only if a digit follows it. Returns the
// characters that strtod under the C locale reads the same way (it never sees inf, nan or hex).
std::string RealPrefix(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && fuzzsupport::IsSpace(text[at])) ++at;
    const std::size_t start = at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    std::size_t digits = 0;
    bool point = false;
    for (; at < text.size(); ++at) {
        if (text[at] >= '0' && text[at] <= '9') {
            ++digits;
        } else if (text[at] == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0) return "0";
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        std::size_t e = at + 1;
        if (e < text.size() && (text[e] == '+' || text[e] == '-')) ++e;
        if (e < text.size() && text[e] >= '0' && text[e] <= '9') {
            while (e < text.size() && text[e] >= '0' && text[e] <= '9') ++e;
            at = e;
        }
    }
    return text.substr(start, at - start);
}

float FromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float PlainAtof(const std::string& text) {
    const std::string prefix = RealPrefix(text);
    return static_cast<float>(std::strtod(prefix.c_str(), nullptr));
}

struct Expected {
    bool accepted = false;
    std::uint16_t header = 0, value01 = 0, value02 = 0, stream = 0;
    std::uint32_t value03 = 0;
    std::vector<std::pair<int, float>> parameters;
};

// The report read the obvious way: split at every ';' and walk the pieces.
Expected Reference(const std::string& text) {
    Expected out;
    if (text.size() < 35 || text.size() > 2999) return out;  // the receiver never hands more
    if (text[1] != ';') return out;
    std::vector<std::string> parts;
    std::size_t from = 2;
    for (;;) {
        const std::size_t semi = text.find(';', from);
        if (semi == std::string::npos) {
            parts.push_back(text.substr(from));
            break;
        }
        parts.push_back(text.substr(from, semi - from));
        from = semi + 1;
    }
    const std::size_t last = parts.size() - 1;  // the only piece with no ';' after it
    auto closed = [&](std::size_t k) { return k < last; };

    if (!closed(0) || parts[0].size() > 5) return out;
    out.header = static_cast<std::uint16_t>(PlainAtoi(parts[0]));
    const char* tags[] = {"01", "02", "03", "04"};
    std::size_t k = 1;
    for (int field = 0; field < 4; ++field, k += 2) {
        if (!closed(k) || parts[k] != tags[field]) return out;
        if (!closed(k + 1)) return out;
        const std::string& value = parts[k + 1];
        if (field == 2 ? value.size() > 7 : value.size() != 2) return out;
        const unsigned long long number = PlainAtoi(value);
        if (field == 0) out.value01 = static_cast<std::uint16_t>(number);
        if (field == 1) out.value02 = static_cast<std::uint16_t>(number);
        if (field == 2) out.value03 = static_cast<std::uint32_t>(number);
        if (field == 3) out.stream = static_cast<std::uint16_t>(number);
    }
    for (int i = 5; i < 100; ++i, k += 2) {
        if (k >= last) break;  // nothing left, or a rest without ';'
        if (parts[k].size() != 2) return out;
        if (PlainAtoi(parts[k]) != static_cast<unsigned long long>(i)) return out;
        out.parameters.emplace_back(i, PlainAtof(parts[k + 1]));
        if (k + 1 == last) break;
    }
    out.accepted = true;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4000) return 0;
    // The parser takes a NUL-terminated text; an embedded NUL ends it, as it would on the line.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text(bytes.c_str());
    // An exact-size heap copy, so ASan sees any read past the terminator.
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');

    MeasurementRecord record;
    std::memset(&record, 0, sizeof record);
    for (float& slot : record.parameters) {
        std::memcpy(&slot, &kUntouched, sizeof slot);
    }
    const int result = ParsePacket(copy.data(), &record);
    FUZZ_CHECK(std::memcmp(copy.data(), text.c_str(), copy.size()) == 0, "text changed");

    const Expected expected = Reference(text);
    FUZZ_CHECK(result == (expected.accepted ? 1 : 0), "result %d, reference %d", result,
               expected.accepted ? 1 : 0);
    if (result != 1) return 0;
    FUZZ_CHECK(record.headerNumber == expected.header, "header %u vs %u", record.headerNumber,
               expected.header);
    FUZZ_CHECK(record.value01 == expected.value01, "01: %u vs %u", record.value01,
               expected.value01);
    FUZZ_CHECK(record.value02 == expected.value02, "02: %u vs %u", record.value02,
               expected.value02);
    FUZZ_CHECK(record.value03 == expected.value03, "03: %u vs %u", record.value03,
               expected.value03);
    FUZZ_CHECK(record.streamNumber == expected.stream, "04: %u vs %u", record.streamNumber,
               expected.stream);
    std::uint32_t wanted[100];
    for (std::uint32_t& w : wanted) w = kUntouched;
    for (const auto& [slot, value] : expected.parameters) wanted[slot] = Bits(value);
    for (int slot = 0; slot < 100; ++slot) {
        FUZZ_CHECK(Bits(record.parameters[slot]) == wanted[slot],
                   "slot %d: %08x vs %08x (%.9g vs %.9g)", slot,
                   static_cast<unsigned>(Bits(record.parameters[slot])),
                   static_cast<unsigned>(wanted[slot]),
                   static_cast<double>(record.parameters[slot]),
                   static_cast<double>(FromBits(wanted[slot])));
    }
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::setlocale(LC_ALL, "C");
    return 0;
}
