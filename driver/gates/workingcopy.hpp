// The bounded working copy of a host address text that the gate handlers compare and print.
#pragma once

#include <cstddef>
#include <cstring>

#include "gates/gates.hpp"
#include "platform.hpp"

// strnlen without relying on the C runtime having it.
inline std::size_t BoundedLength(const char* text, std::size_t limit) {
    std::size_t length = 0;
    while (length < limit && text[length] != '\0') ++length;
    return length;
}

// Copies at most 32 characters of `address` into `copy` (cleared first, so it is always
// terminated) and reports whether the whole text fitted. The host's text is only ever read, and
// never beyond its 33rd byte: an address longer than any the driver serves is not worth scanning
// to its end. A null address gives an empty copy and counts as not fitting.
inline bool MakeWorkingCopy(const char* address, char (&copy)[kAddressCopySize]) {
    std::memset(copy, 0, sizeof copy);
    if (address == nullptr) return false;
    const std::size_t length = BoundedLength(address, kAddressCopySize);
    const std::size_t kept = length < kAddressCopySize ? length : kAddressCopySize - 1;
    std::memcpy(copy, address, kept);
    return length < kAddressCopySize;
}

// The same copy, upper-cased as the host's own comparisons are.
inline bool MakeUpperCopy(const char* address, char (&copy)[kAddressCopySize]) {
    const bool fits = MakeWorkingCopy(address, copy);
    UpperAscii(copy);
    return fits;
}
