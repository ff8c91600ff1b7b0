# One warning policy for every target we own: warnings are errors on both toolchains.
add_library(vpivg_warnings INTERFACE)
target_compile_options(vpivg_warnings INTERFACE
  -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wformat=2 -Wno-format-nonliteral
  # GCC 12 at -O3 reports overlapping copies inside std::string's own code that cannot happen
  # (a known false positive of its -Wrestrict); it stays a warning there, not an error.
  $<$<CXX_COMPILER_ID:GNU>:-Wno-error=restrict>)
