# The product target: a 32-bit Windows DLL built with MinGW-w64 and tested under Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VPIVG_MINGW_TRIPLET i686-w64-mingw32)
set(VPIVG_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
