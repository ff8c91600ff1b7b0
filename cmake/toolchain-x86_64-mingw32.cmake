# The same sources as a 64-bit Windows build. Not what ships (that is the 32-bit DLL), but it
# runs the whole Windows test suite under a 64-bit Wine on machines whose kernel cannot run
# 32-bit programs at all. Records lay out as on native there (pointer-sized handles).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VPIVG_MINGW_TRIPLET x86_64-w64-mingw32)
set(VPIVG_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
