// Shared pieces of the fuzz targets: a quiet host runtime and a check that aborts with a
// message, so a wrong result is reported by libFuzzer exactly like a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "instance.hpp"
#include "zelpro/control.hpp"

#define FUZZ_CHECK(condition, ...)                                              \
    do {                                                                        \
        if (!(condition)) {                                                     \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n  ", __FILE__, \
                         __LINE__, #condition);                                 \
            std::fprintf(stderr, __VA_ARGS__);                                  \
            std::fprintf(stderr, "\n");                                         \
            std::abort();                                                       \
        }                                                                       \
    } while (0)

namespace fuzzsupport {

// The runtime's log goes to standard error by default; thousands of executions a second would
// drown the fuzzer's own output, so lines are dropped (the driver still formats every one).
inline void QuietRuntime() {
    zelpro::SetLogSink([](int, const std::string&) {});
}

// A fresh, quiet runtime and the one VPI block a target works on, zero-filled as a host hands
// it over. Called once, from LLVMFuzzerInitialize.
inline VpiInstance* FreshRuntimeAndInstance() {
    zelpro::Reset();
    QuietRuntime();
    static std::vector<unsigned char> block(sizeof(VpiInstance), 0);
    return reinterpret_cast<VpiInstance*>(block.data());
}

inline bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi as the C library defines it, written out plainly and wrapping modulo 2^64.
inline unsigned long long PlainAtoi(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && IsSpace(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
    unsigned long long value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10u + static_cast<unsigned long long>(text[at++] - '0');
    }
    return negative ? 0ull - value : value;
}

}  // namespace fuzzsupport
