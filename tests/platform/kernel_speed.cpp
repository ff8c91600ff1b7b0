// The kernel's own view of a terminal's rates, read with termios2 on a descriptor of our own,
// to check the layer from the side. Its header must not meet <termios.h>: a file of its own.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "platform_testing.hpp"

namespace platform_testing {

bool KernelSpeeds(int fd, std::uint32_t* input, std::uint32_t* output) {
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    *input = settings.c_ispeed;
    *output = settings.c_ospeed;
    return true;
}

}  // namespace platform_testing
