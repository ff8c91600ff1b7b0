// termios2 on a descriptor of the test's own. Its header must not meet <termios.h>, hence a file
// of its own.
#if !defined(_WIN32)
#include "kernel_speed.hpp"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

bool KernelSpeeds(int fd, std::uint32_t* input, std::uint32_t* output) {
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    *input = settings.c_ispeed;
    *output = settings.c_ospeed;
    return true;
}
#endif
