# What both Windows toolchains share. The including file sets VPIVG_MINGW_TRIPLET (the MinGW-w64
# compiler prefix) and VPIVG_WINE_ARCH (win32 or win64: which Wine runs the test programs).
set(CMAKE_SYSTEM_NAME Windows)
# The -posix variants: the default win32 thread model has no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${VPIVG_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VPIVG_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VPIVG_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${VPIVG_MINGW_TRIPLET}-objdump CACHE FILEPATH "objdump for PE files")
set(CMAKE_DLLTOOL ${VPIVG_MINGW_TRIPLET}-dlltool CACHE FILEPATH "dlltool for PE import libraries")
set(CMAKE_FIND_ROOT_PATH /usr/${VPIVG_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static runtime, so no MinGW runtime DLL has to be found next to the driver or the tests.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Test programs run under Wine through our wrapper: it keeps the prefix inside the build folder
# and never lets a wineserver start on ctest's pipes (see scripts/wine-run.sh).
get_filename_component(_vpivg_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${_vpivg_wine_run};--arch;${VPIVG_WINE_ARCH};--prefix;${CMAKE_BINARY_DIR}/wineprefix")
