// Loading the DLL does no driver work; per-thread notifications are of no use to it.
#if defined(_WIN32)
#include "platform.hpp"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}
#endif
