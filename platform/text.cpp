// Text helpers, the same on both targets (no C runtime conversion, no locale).
#include "text.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <system_error>

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The usable length: `length` characters or up to the first NUL, whichever is shorter.
std::size_t Bounded(const char* text, std::size_t length) {
    std::size_t end = 0;
    while (end < length && text[end] != '\0') ++end;
    return end;
}

// Skips white space and a sign; gives the position after them and whether the sign was '-'.
std::size_t SkipLead(const char* text, std::size_t end, bool* negative) {
    std::size_t at = 0;
    while (at < end && IsSpace(text[at])) ++at;
    *negative = false;
    if (at < end && (text[at] == '+' || text[at] == '-')) {
        *negative = text[at] == '-';
        ++at;
    }
    return at;
}

}  // namespace

char* UpperAscii(char* text) {
    if (text == nullptr) return text;
    for (char* at = text; *at != '\0'; ++at) {
        if (*at >= 'a' && *at <= 'z') *at = static_cast<char>(*at - 'a' + 'A');
    }
    return text;
}

std::int64_t TextToInteger(const char* text, std::size_t length) {
    if (text == nullptr) return 0;
    const std::size_t end = Bounded(text, length);
    bool negative = false;
    std::size_t at = SkipLead(text, end, &negative);
    // Unsigned arithmetic wraps by definition; the cast back is modulo 2^64 too (C++20).
    std::uint64_t value = 0;
    for (; at < end && IsDigit(text[at]); ++at) {
        value = value * 10 + static_cast<std::uint64_t>(text[at] - '0');
    }
    if (negative) value = 0 - value;
    return static_cast<std::int64_t>(value);
}

double TextToReal(const char* text, std::size_t length) {
    if (text == nullptr) return 0.0;
    const std::size_t end = Bounded(text, length);
    bool negative = false;
    const std::size_t start = SkipLead(text, end, &negative);

    // Find where the grammar stops: digits, at most one point, at least one digit.
    std::size_t at = start;
    std::size_t digits = 0;
    std::size_t integerDigits = 0;  // from the first nonzero one; for overflow vs underflow
    std::size_t fractionZeros = 0;  // zeros right after the point, before any other digit
    bool point = false;
    bool nonzeroSeen = false;
    for (; at < end; ++at) {
        const char c = text[at];
        if (IsDigit(c)) {
            ++digits;
            if (!point) {
                if (c != '0' || nonzeroSeen) ++integerDigits;
            } else if (c == '0' && !nonzeroSeen) {
                ++fractionZeros;
            }
            if (c != '0') nonzeroSeen = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0) return 0.0;

    // An exponent only counts when at least one digit follows "e" and its sign.
    std::int64_t exponent = 0;
    if (at < end && (text[at] == 'e' || text[at] == 'E')) {
        std::size_t e = at + 1;
        bool exponentNegative = false;
        if (e < end && (text[e] == '+' || text[e] == '-')) {
            exponentNegative = text[e] == '-';
            ++e;
        }
        if (e < end && IsDigit(text[e])) {
            for (; e < end && IsDigit(text[e]); ++e) {
                if (exponent < 100000000) exponent = exponent * 10 + (text[e] - '0');
            }
            if (exponentNegative) exponent = -exponent;
            at = e;
        }
    }
    if (!nonzeroSeen) return negative ? -0.0 : 0.0;

    // The prefix is now plain decimal text that from_chars takes exactly (it rounds
    // correctly and ignores the locale); the sign was taken off because from_chars has no '+'.
    double value = 0.0;
    const std::from_chars_result result =
        std::from_chars(text + start, text + at, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // The magnitude's decimal exponent decides which way it fell out of range: beyond the
        // largest double gives HUGE_VAL as atof does, below the smallest gives zero.
        const std::int64_t magnitude =
            integerDigits > 0 ? static_cast<std::int64_t>(integerDigits) - 1 + exponent
                              : exponent - static_cast<std::int64_t>(fractionZeros) - 1;
        value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (result.ec != std::errc{}) {
        value = 0.0;
    }
    return negative ? -value : value;
}
