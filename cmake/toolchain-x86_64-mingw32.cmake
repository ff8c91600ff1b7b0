# The same sources as a 64-bit Windows build. Not what ships (that is the 32-bit DLL), but it
# runs the whole Windows test suite under a 64-bit Wine on machines whose kernel cannot run
# 32-bit programs at all. Records lay out as on native there (pointer-sized handles).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
# The -posix variants: the default win32 thread model has no std::thread or std::mutex.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_OBJDUMP x86_64-w64-mingw32-objdump CACHE FILEPATH "objdump for PE files")
set(CMAKE_DLLTOOL x86_64-w64-mingw32-dlltool CACHE FILEPATH "dlltool for PE import libraries")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static runtime, so no MinGW runtime DLL has to be found next to the driver or the tests.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
# Test programs run under the 64-bit Wine loader through our wrapper, which keeps the prefix
# inside the build folder and never lets a wineserver start on ctest's pipes.
get_filename_component(_vpivg_wine_run "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${_vpivg_wine_run};--arch;win64;--prefix;${CMAKE_BINARY_DIR}/wineprefix")
