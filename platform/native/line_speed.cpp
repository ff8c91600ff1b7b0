// termios2 with BOTHER: any rate, set and read back in bits per second.
//
// Only the kernel's headers here: <asm/termbits.h> defines `struct termios` differently from
// the C library's <termios.h>, which this file must never see.
#include "line_speed.hpp"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace native {
namespace {

int Request(int fd, unsigned long request, termios2* settings) {
    int result;
    do {
        result = ioctl(fd, request, settings);
    } while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

bool SetModeAndSpeed(int fd, const TerminalMode& mode, std::uint32_t rate) {
    static_assert(TerminalMode::kControlChars == NCCS);
    if (rate == 0) {
        errno = EINVAL;  // speed 0 means "hang up" to a terminal, never a rate
        return false;
    }
    termios2 settings{};
    if (Request(fd, TCGETS2, &settings) != 0) return false;
    settings.c_iflag = mode.iflag;
    settings.c_oflag = mode.oflag;
    settings.c_cflag = mode.cflag;
    settings.c_lflag = mode.lflag;
    for (int i = 0; i < NCCS; ++i) settings.c_cc[i] = mode.cc[i];
    // BOTHER in both speed fields: the rates below are taken as they stand, input and output.
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = rate;
    settings.c_ospeed = rate;
    return Request(fd, TCSETS2, &settings) == 0;
}

bool GetExactSpeed(int fd, std::uint32_t* rate) {
    termios2 settings{};
    if (Request(fd, TCGETS2, &settings) != 0) return false;
    *rate = settings.c_ospeed;
    return true;
}

}  // namespace native
