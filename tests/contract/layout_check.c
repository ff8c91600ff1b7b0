/* The host's records as a C host compiles them from the public header, checked while this file
 * compiles: on the shipped 32-bit target every documented offset; on every target the parts
 * that do not depend on the width of a pointer. A record that moved fails the build. */
#include <stddef.h>
#include <stdint.h>

#include <vpivg/vpivg.h>
#include <zelpro/zelpro.h>

#define CHECK(condition) _Static_assert(condition, #condition)

/* Everywhere: the fixed-width parts, and the command codes the host sends. */
CHECK(sizeof(LineParams) == 8);
CHECK(offsetof(LineParams, dataBits) == 2 && offsetof(LineParams, stopBits) == 4);
CHECK(offsetof(LineParams, parity) == 6);
CHECK(sizeof(GateValue) == 4 && offsetof(GateValue, digitalState) == 2);
CHECK(offsetof(StartArgs, portEnabled) == 12 && offsetof(StartArgs, readTimeout) == 16);
CHECK(offsetof(StartArgs, line) == 20 && sizeof(StartArgs) == 28);
CHECK(offsetof(SetPortArgs, readTimeout) == 12 && offsetof(SetPortArgs, line) == 16);
CHECK(sizeof(SetPortArgs) == 24);
CHECK(CmdStart == 1 && CmdWarmStart == 2 && CmdParseAddress == 3 && CmdUnsupported4 == 4);
CHECK(CmdRead == 5 && CmdBlockRead == 6 && CmdWrite == 7 && CmdBlockWrite == 10);
CHECK(CmdClose == 11 && CmdClosePort == 12 && CmdOpenPort == 13 && CmdDescribe == 14);
CHECK(CmdSetPort == 15);
CHECK(GateTypeReal == 3 && GateTypeInteger == 5 && GateTypeDigital == 6);
CHECK(VPI_INSTANCE_SIZE_32 == 262196u);

/* The product: a 32-bit DLL in a 32-bit host, byte for byte. */
#if UINTPTR_MAX == 0xFFFFFFFFu
CHECK(VPI_INSTANCE_SIZE == 262196u);
CHECK(offsetof(VpiRequest, instance) == 0 && offsetof(VpiRequest, command) == 4);
CHECK(offsetof(VpiRequest, vpiNumber) == 8 && offsetof(VpiRequest, notRead) == 12);
CHECK(offsetof(VpiRequest, args) == 16 && sizeof(VpiRequest) == 20);
CHECK(offsetof(DriverInfo, constant70) == 0);
CHECK(offsetof(DriverInfo, name) == 4 && offsetof(DriverInfo, banner) == 8);
CHECK(offsetof(DriverInfo, instanceSize) == 12 && offsetof(DriverInfo, constant4) == 16);
CHECK(offsetof(DriverInfo, defaultLine) == 20 && offsetof(DriverInfo, constant3) == 28);
CHECK(sizeof(DriverInfo) == 32);
CHECK(offsetof(GateParseArgs, address) == 0);
CHECK(offsetof(GateParseArgs, gateId) == 4 && offsetof(GateParseArgs, gateType) == 8);
CHECK(offsetof(GateParseArgs, notTouched) == 12);
CHECK(offsetof(GateParseArgs, addressKind) == 16);
CHECK(offsetof(GateParseArgs, presetA) == 20);
CHECK(offsetof(GateParseArgs, addressCode) == 24);
CHECK(offsetof(GateParseArgs, presetB) == 28);
CHECK(offsetof(GateParseArgs, presetC) == 32 && sizeof(GateParseArgs) == 36);
CHECK(offsetof(GateAccessArgs, address) == 0 && offsetof(GateAccessArgs, notTouched1) == 4);
CHECK(offsetof(GateAccessArgs, gateType) == 28);
CHECK(offsetof(GateAccessArgs, notTouched2) == 32);
CHECK(offsetof(GateAccessArgs, valueArea) == 40 && sizeof(GateAccessArgs) == 44);
CHECK(offsetof(BlockWriteArgs, address) == 0);
#else
/* 64-bit builds: the same order, pointers taking 8 bytes. */
CHECK(VPI_INSTANCE_SIZE == 262216u);
CHECK(offsetof(VpiRequest, command) == 8 && offsetof(VpiRequest, args) == 24);
CHECK(offsetof(DriverInfo, instanceSize) == 24 && offsetof(DriverInfo, defaultLine) == 32);
CHECK(offsetof(GateParseArgs, gateId) == 8 && offsetof(GateParseArgs, presetC) == 36);
CHECK(offsetof(GateAccessArgs, gateType) == 32 && offsetof(GateAccessArgs, valueArea) == 48);
#endif

/* The entry points keep the signatures the driver and the runtime are built with: a pointer of
 * the host's type takes each without a cast (VpiMain is declared where a host may link it).
 * Compiled only, never called. */
int VpivgLayoutChecked(void);
int VpivgLayoutChecked(void) {
#if !defined(_WIN32)
    VpiMainProc entryPoint = VpiMain;
    (void)entryPoint;
#endif
    unsigned short(ZEL_CALL * waitMessage)(unsigned char, void*, int) = Zel5WaitMsg;
    (void)waitMessage;
    return 1;
}
