// A pseudo-terminal pair for the Linux benchmarks, raw from the start: nothing written before
// the reader sets its own mode is echoed or translated by the line discipline.
#pragma once

#include <pty.h>
#include <termios.h>

#include <cstdio>

namespace vpibench {

// false (and a message on standard error) when no pair can be had.
inline bool OpenRawPty(int* master, int* slave) {
    if (openpty(master, slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return false;
    }
    termios raw{};
    tcgetattr(*slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(*slave, TCSANOW, &raw);
    return true;
}

}  // namespace vpibench
