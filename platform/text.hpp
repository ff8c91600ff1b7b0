// Text helpers the driver needs identically on both targets.
//
// The C runtime's conversions differ between platforms and locales (strtod accepts "inf", "nan",
// hexadecimal and, under some locales, a decimal comma). The driver's inputs follow one grammar,
// so the conversions here implement exactly that grammar and nothing more.
#pragma once

#include <cstddef>
#include <cstdint>

// Upper-cases ASCII a..z in place, like the C runtime's _strupr under the "C" locale.
char* UpperAscii(char* text);

// atoi/atol over the first `length` characters of `text` (stopping early at a NUL): leading
// white space (space, \t \n \v \f \r), an optional sign, then decimal digits up to the first
// other character. No digits give 0. The result wraps modulo 2^64 instead of overflowing, so the
// callers' truncation to 16 or 32 bits is defined for any input.
std::int64_t TextToInteger(const char* text, std::size_t length);

// atof over the first `length` characters of `text` (stopping early at a NUL): leading white
// space, an optional sign, digits with at most one decimal point (at least one digit), then an
// optional exponent ("e" or "E", optional sign, at least one digit). Conversion stops at the
// first character that does not belong; no number gives 0. Never accepts "inf", "nan",
// hexadecimal or a decimal comma. Correctly rounded, independent of the locale.
double TextToReal(const char* text, std::size_t length);
