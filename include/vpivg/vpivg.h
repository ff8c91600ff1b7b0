/* vpivg: the host's side of the driver contract.
 *
 * A host loads the driver (vpivg.dll / libvpivg.so), looks up VpiMain and calls it with a
 * VpiRequest for every operation on every VPI. The records below are the host's byte layouts:
 * on 32-bit Windows, where the driver ships, every field stands at its documented offset; on
 * 64-bit targets the same fields keep the same order with natural alignment, pointers taking
 * 8 bytes. Plain C99, usable from C++ as it stands.
 *
 * The per-VPI block (VpiInstance) is the driver's own: a host only allocates it, zero-filled,
 * with the size CmdDescribe reports, and hands it back in every request for that VPI. */
#ifndef VPIVG_VPIVG_H
#define VPIVG_VPIVG_H

#include <stdint.h>

/* VpiMain's calling convention: the Win32 API one (the callee removes its argument) on 32-bit
 * Windows; the platform's own elsewhere (MinGW ignores __stdcall on x86-64). */
#if defined(_WIN32)
#define VPI_CALL __stdcall
#define VPI_EXPORT
#else
#define VPI_CALL
#define VPI_EXPORT __attribute__((visibility("default")))
#endif

/* The bytes a host allocates per VPI, as CmdDescribe reports them. 262196 is the shipped
 * 32-bit layout; a 64-bit build's handles and pointers take 8 bytes each. A host compares
 * DriverInfo.instanceSize with VPI_INSTANCE_SIZE to know it loaded a driver of its own kind. */
#define VPI_INSTANCE_SIZE_32 262196u
#define VPI_INSTANCE_SIZE_64 262216u
#if UINTPTR_MAX == 0xFFFFFFFFu
#define VPI_INSTANCE_SIZE VPI_INSTANCE_SIZE_32
#else
#define VPI_INSTANCE_SIZE VPI_INSTANCE_SIZE_64
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The command codes; 0, 8 and 9 and anything above 15 have no handler. */
enum VpiCommand {
    CmdStart = 1,
    CmdWarmStart = 2,
    CmdParseAddress = 3,
    CmdUnsupported4 = 4,
    CmdRead = 5,
    CmdBlockRead = 6,
    CmdWrite = 7,
    CmdBlockWrite = 10,
    CmdClose = 11,
    CmdClosePort = 12,
    CmdOpenPort = 13,
    CmdDescribe = 14,
    CmdSetPort = 15
};
typedef enum VpiCommand VpiCommand;

/* The host's gate type codes the driver tests; any other code is none of these. */
enum GateType {
    GateTypeReal = 3,
    GateTypeInteger = 5,
    GateTypeDigital = 6
};
typedef enum GateType GateType;

/* The driver's private per-VPI block; a host never looks inside. */
struct VpiInstance;
typedef struct VpiInstance VpiInstance;

/* The four line words every host record carries in this order. Stop bits: 0 one, 1 one and a
 * half, 2 two. Parity: 0 none, 1 odd, 2 even, 3 mark, 4 space. */
typedef struct LineParams {
    uint16_t baud;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
} LineParams;

/* The call record. The instance is not dereferenced for CmdDescribe. */
typedef struct VpiRequest {
    VpiInstance* instance;
    int32_t command;   /* a VpiCommand */
    int32_t vpiNumber; /* the host's number for this VPI */
    unsigned char notRead[4];
    void* args;        /* the command's argument record, or null */
} VpiRequest;

/* CmdDescribe: the driver fills every field; both texts stay valid while it is loaded. */
typedef struct DriverInfo {
    uint32_t constant70;
    const char* name;
    const char* banner;  /* code page 437 */
    uint32_t instanceSize;
    uint32_t constant4;
    LineParams defaultLine;
    uint32_t constant3;
} DriverInfo;

/* CmdStart. A name of at most 11 characters; portEnabled 0 leaves the VPI unstarted;
 * readTimeout in units of 10 ms, raised to at least 100. */
typedef struct StartArgs {
    char name[12];
    int32_t portEnabled;
    int32_t readTimeout;
    LineParams line;
} StartArgs;

/* CmdSetPort: new port settings, then the port is reopened with them. */
typedef struct SetPortArgs {
    char name[12];
    int32_t readTimeout;
    LineParams line;
} SetPortArgs;

/* CmdParseAddress: the host fills address, gateId and gateType; the driver writes the five
 * reply words after the untouched ones. */
typedef struct GateParseArgs {
    const char* address;
    int32_t gateId;   /* 0 to 65534 */
    int32_t gateType; /* a GateType */
    unsigned char notTouched[4];
    int32_t addressKind;
    int32_t presetA;
    int32_t addressCode;
    int32_t presetB;
    int32_t presetC;
} GateParseArgs;

/* The host's value area: an ordinary read fills all four bytes (a float for a real gate, a
 * 32-bit integer otherwise), a "!STATUS" read only the 16-bit word at bytes 2..3. */
typedef struct GateValue {
    uint16_t lowWord;
    uint16_t digitalState;
} GateValue;

/* CmdRead and CmdWrite. */
typedef struct GateAccessArgs {
    const char* address;
    unsigned char notTouched1[24];
    int32_t gateType;
    unsigned char notTouched2[8];
    GateValue* valueArea;
} GateAccessArgs;

/* CmdBlockRead and CmdBlockWrite (both refused). */
typedef struct BlockWriteArgs {
    const char* address;
} BlockWriteArgs;

/* The driver's only export, as a host calls it: looked up at run time as "VpiMain" (on 32-bit
 * Windows also as "_VpiMain@4") and called through a VpiMainProc. */
typedef int32_t(VPI_CALL* VpiMainProc)(VpiRequest* request);

/* A Linux host may link libvpivg.so instead (pkg-config's Libs). The DLL exports the plain and
 * the stdcall-decorated name, which GetProcAddress finds and an import library does not, so on
 * Windows the function is not declared here and a host is free to name its pointer VpiMain. */
#if !defined(_WIN32)
VPI_EXPORT int32_t VPI_CALL VpiMain(VpiRequest* request);
#endif

#ifdef __cplusplus
}
#endif

#endif
