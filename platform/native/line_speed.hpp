// Exact line speeds. The termios constants stop at a fixed list of rates (a plant line at 14400
// baud would silently run at 9600); the kernel's termios2 takes any rate in bits per second.
// Its header clashes with <termios.h>, so it lives in its own translation unit behind this.
#pragma once

#include <cstdint>

namespace native {

// A terminal's mode flags and control characters, as the C library's termios holds them (on
// Linux its flag bits and control character indices are the kernel's own). The speed bits in
// `cflag` are ignored.
struct TerminalMode {
    static constexpr int kControlChars = 19;  // the kernel's NCCS
    std::uint32_t iflag;
    std::uint32_t oflag;
    std::uint32_t cflag;
    std::uint32_t lflag;
    unsigned char cc[kControlChars];
};

// Gives the terminal `fd` this mode and exactly `rate` bits per second, both directions, in one
// request. False, with errno set, where the OS refuses the rate or the request.
bool SetModeAndSpeed(int fd, const TerminalMode& mode, std::uint32_t rate);

// The terminal's output speed in bits per second as the OS now has it (a UART's driver may have
// rounded it to what its clock can make). False, with errno set, when it cannot be read.
bool GetExactSpeed(int fd, std::uint32_t* rate);

}  // namespace native
