# One warning policy for every target we own: warnings are errors on both toolchains.
add_library(vpivg_warnings INTERFACE)
target_compile_options(vpivg_warnings INTERFACE
  -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wformat=2 -Wno-format-nonliteral)
