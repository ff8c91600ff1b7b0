// The kernel's own view of a terminal's rates (Linux only), to check the native layer from the
// side: the C library's termios only knows the rates it has constants for.
#pragma once

#include <cstdint>

// The input and output rates the kernel holds for the terminal `fd`, in bits per second; false
// when they cannot be read.
bool KernelSpeeds(int fd, std::uint32_t* input, std::uint32_t* output);
