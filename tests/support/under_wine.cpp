// Whether the tests run under Wine. Wine's ntdll carries wine_get_version, which no Windows has;
// the tests use the answer to leave out the few checks where Wine on a pseudo-terminal answers
// differently from Windows on a serial port, and say so.
#if defined(_WIN32)
#include <windows.h>
#endif

#include "testline.hpp"

bool RunningUnderWine() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
