/* The host runtime interface the driver imports (zelpro.dll / libzelpro.so).
 *
 * For whoever builds a runtime for the driver: the stand-in host runtime in this project
 * exports exactly these, and a replacement must do the same. Plain C99, usable from C++.
 *
 * On Windows every function but err is __stdcall and exported undecorated (Zel5MkClient, not
 * Zel5MkClient@16). On Linux every one of them carries the symbol version ZELPRO_5 (a linker
 * version script naming them under "ZELPRO_5 { global: ... };"): the driver's references are
 * versioned, so its err can never bind to the C library's err(3), which would print and end
 * the host process. err is cdecl and variadic everywhere. */
#ifndef VPIVG_ZELPRO_H
#define VPIVG_ZELPRO_H

#include <stdint.h>

#if defined(_WIN32)
#define ZEL_CALL __stdcall
#if defined(ZELPRO_BUILDING)
#define ZEL_API __declspec(dllexport)
#else
#define ZEL_API __declspec(dllimport)
#endif
#else
#define ZEL_CALL
#define ZEL_API __attribute__((visibility("default")))
#endif

/* The version every function stands under on Linux. */
#define ZELPRO_SYMBOL_VERSION "ZELPRO_5"

#ifdef __cplusplus
extern "C" {
#endif

ZEL_API unsigned short ZEL_CALL Zel5MkClient(const char* name, int reserved1, int reserved2,
                                             uint32_t* clientSlot);
ZEL_API unsigned short ZEL_CALL Zel5WaitMsg(unsigned char client, void* message, int mode);
ZEL_API unsigned short ZEL_CALL Zel5RmClient(unsigned char client);
ZEL_API unsigned short ZEL_CALL Zel5GetGateIdByAddressStr(unsigned char client,
                                                          unsigned char vpi,
                                                          const char* address,
                                                          uint32_t* gateId);
ZEL_API unsigned short ZEL_CALL Zel5PutGateVal(unsigned char client, uint32_t gateId, int mode,
                                               double value, int reserved1, int reserved2);
ZEL_API unsigned short ZEL_CALL Zel5GetGateVal(unsigned char client, int mode, uint32_t gateId,
                                               double* value, void* area1, void* area2);
ZEL_API unsigned short ZEL_CALL Zel5SetPlcCommStatus(unsigned char client, unsigned char vpi,
                                                     int a, int b, int c);
ZEL_API int err(int level, const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif
