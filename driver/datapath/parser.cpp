// The measurement packet parser: one report text in, one MeasurementRecord out.
//
// A report is "a;<header>;01;<v>;02;<v>;03;<v>;04;<stream>;05;<p5>;06;<p6>..." without its
// trailer. The parser only reads the text: no state, no host calls, no messages. Every element
// is copied into a fixed scratch text on the stack before conversion, and every position it
// examines lies at or before the terminating NUL.
#include <cstring>

#include "datapath/datapath.hpp"
#include "platform.hpp"

namespace {

constexpr std::size_t kMinTextLength = 35;
constexpr std::uint16_t kMaxHeaderLength = 5;
constexpr std::uint16_t kMaxValue03Length = 7;
constexpr int kFirstParameter = 5;
constexpr int kParameterSlots = 100;

// Scratch sizes: the element plus its NUL.
constexpr std::size_t kShortScratch = 6;   // header number and the two-character values
constexpr std::size_t kValue03Scratch = 8;
constexpr std::size_t kTagScratch = 3;
constexpr std::size_t kParameterScratch = 3000;

// The receiver hands over at most 999 characters; anything that would not fit the parameter
// scratch cannot be a report.
constexpr std::size_t kMaxTextLength = kParameterScratch - 1;

template <std::size_t Size>
const char* CopyElement(char (&scratch)[Size], const char* from, std::uint16_t length) {
    static_assert(Size > 0);
    std::memcpy(scratch, from, length);
    scratch[length] = '\0';
    return scratch;
}

}  // namespace

int NextSeparator(const char* position, std::uint16_t* length) {
    const char* separator = std::strchr(position, ';');
    if (separator == nullptr) return 0;
    *length = static_cast<std::uint16_t>(separator - position);
    return 1;
}

int ParsePacket(const char* text, MeasurementRecord* record) {
    const std::size_t fullLength = std::strlen(text);
    if (fullLength < kMinTextLength || fullLength > kMaxTextLength) return 0;
    const auto len = static_cast<std::uint16_t>(fullLength);

    // Position 0 holds the start character, which the receiver has already matched.
    if (text[1] != ';') return 0;

    char shortScratch[kShortScratch];
    char value03Scratch[kValue03Scratch];
    char tagScratch[kTagScratch];
    std::uint16_t n = 0;

    if (!NextSeparator(text + 2, &n) || n > kMaxHeaderLength) return 0;
    record->headerNumber = static_cast<std::uint16_t>(
        TextToInteger(CopyElement(shortScratch, text + 2, n), n));
    std::uint16_t pos = static_cast<std::uint16_t>(n + 3);

    static constexpr const char* kFixedTags[] = {"01", "02", "03", "04"};
    for (int field = 0; field < 4; ++field) {
        const char* tag = kFixedTags[field];
        if (!NextSeparator(text + pos, &n) || n != 2) return 0;
        CopyElement(tagScratch, text + pos, n);
        if (tagScratch[0] != tag[0] || tagScratch[1] != tag[1]) return 0;
        pos = static_cast<std::uint16_t>(pos + 3);

        if (!NextSeparator(text + pos, &n)) return 0;
        if (field == 2) {
            if (n > kMaxValue03Length) return 0;
            record->value03 = static_cast<std::uint32_t>(
                TextToInteger(CopyElement(value03Scratch, text + pos, n), n));
        } else {
            if (n != 2) return 0;
            const auto value = static_cast<std::uint16_t>(
                TextToInteger(CopyElement(shortScratch, text + pos, n), n));
            if (field == 0) record->value01 = value;
            if (field == 1) record->value02 = value;
            if (field == 3) record->streamNumber = value;
        }
        pos = static_cast<std::uint16_t>(pos + n + 1);
    }

    char parameterScratch[kParameterScratch];
    for (int i = kFirstParameter; i < kParameterSlots && pos < len; ++i) {
        if (!NextSeparator(text + pos, &n)) return 1;
        if (n != 2) return 0;
        if (TextToInteger(CopyElement(tagScratch, text + pos, n), n) != i) return 0;
        pos = static_cast<std::uint16_t>(pos + 3);

        // The last value of a report has no ';' after it: it runs to the end of the text.
        const bool last = !NextSeparator(text + pos, &n);
        const std::uint16_t valueLength = last ? static_cast<std::uint16_t>(len - pos) : n;
        const double value =
            TextToReal(CopyElement(parameterScratch, text + pos, valueLength), valueLength);
        record->parameters[i] = static_cast<float>(value);
        if (last) return 1;
        pos = static_cast<std::uint16_t>(pos + n + 1);
    }
    return 1;
}
