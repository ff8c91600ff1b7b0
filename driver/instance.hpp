// The driver's own per-VPI block, built on the records the host shares (vpivg/vpivg.h).
//
// Private to the driver: the host only allocates it with the size CmdDescribe reports. On win32
// (the product) every documented offset is checked below at compile time, and so are the
// host's records as the driver sees them; on native the same fields stand in the same order
// with natural alignment, pointers and handles taking 8 bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <vpivg/vpivg.h>

#include "platform.hpp"

// A serial device name with its line settings.
struct PortSettings {
    char name[12];
    LineParams line;
    std::uint16_t lineFlags;
};

// The state of one VPI. The host allocates it (zero-filled) with the size CmdDescribe reports;
// the driver never frees it. Fields the host's thread and the VPI's thread share are atomics of
// their documented width, so the layout is unchanged and no access is a data race.
struct VpiInstance {
    std::int32_t readTimeout;
    PortSettings port;
    std::atomic<HANDLE> portHandle;
    std::uint32_t portEnabled;
    std::atomic<std::uint32_t> threadEnded;
    // The host runtime's own slot: Zel5MkClient gets a pointer to this very field and a host may
    // keep it and write a new id through it at any time. So it is the plain 32-bit object that
    // pointer names (a std::atomic would be written through a pointer to a different type), and
    // the driver reads it only through ClientIdOf, atomically, since the VPI's thread and the
    // host's calls read it while the host may be writing it.
    std::uint32_t clientId;
    std::uint32_t gateInUse[65535];
    std::uint16_t vpiNumber;
    std::uint16_t statusWait;
    std::atomic<HANDLE> packetEvent;
    std::uint32_t resetPending;
};

constexpr std::int32_t kGateCount = 65535;  // GateIds 0..65534

// What CmdDescribe tells the host to allocate, on every target.
static_assert(sizeof(VpiInstance) == VPI_INSTANCE_SIZE);

// The slot is read in place, lock-free, as one aligned 32-bit word; a host writing it through
// its pointer needs nothing more from us.
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint32_t>::required_alignment <= alignof(std::uint32_t));
static_assert(sizeof(VpiInstance::clientId) == 4);

// The 8-bit ClientId every host runtime call takes, read from the host's slot as it is now.
// (C++20 has no atomic_ref of a const object; a load writes nothing.)
inline unsigned char ClientIdOf(const VpiInstance* instance) {
    auto& slot = const_cast<std::uint32_t&>(instance->clientId);
    return static_cast<unsigned char>(std::atomic_ref(slot).load(std::memory_order_acquire) & 0xFF);
}

#if defined(_WIN32) && !defined(_WIN64)
// The host's layouts, byte for byte, on the 32-bit product. (A 64-bit Windows build, used to
// run the suite under a 64-bit Wine where 32-bit programs cannot run, lays out like native.)
static_assert(sizeof(void*) == 4, "the product is a 32-bit DLL");
static_assert(sizeof(std::atomic<HANDLE>) == 4 && sizeof(std::atomic<std::uint32_t>) == 4);
static_assert(std::atomic<HANDLE>::is_always_lock_free);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(offsetof(VpiRequest, instance) == 0 && offsetof(VpiRequest, command) == 4);
static_assert(offsetof(VpiRequest, vpiNumber) == 8 && offsetof(VpiRequest, args) == 16);
static_assert(sizeof(PortSettings) == 22 && offsetof(PortSettings, line) == 12);
static_assert(offsetof(PortSettings, lineFlags) == 20);
static_assert(offsetof(VpiInstance, readTimeout) == 0 && offsetof(VpiInstance, port) == 4);
static_assert(offsetof(VpiInstance, portHandle) == 28);
static_assert(offsetof(VpiInstance, portEnabled) == 32);
static_assert(offsetof(VpiInstance, threadEnded) == 36);
static_assert(offsetof(VpiInstance, clientId) == 40);
static_assert(offsetof(VpiInstance, gateInUse) == 44);
static_assert(offsetof(VpiInstance, vpiNumber) == 262184);
static_assert(offsetof(VpiInstance, statusWait) == 262186);
static_assert(offsetof(VpiInstance, packetEvent) == 262188);
static_assert(offsetof(VpiInstance, resetPending) == 262192);
static_assert(sizeof(VpiInstance) == 262196);
static_assert(offsetof(DriverInfo, name) == 4 && offsetof(DriverInfo, banner) == 8);
static_assert(offsetof(DriverInfo, instanceSize) == 12 && offsetof(DriverInfo, constant4) == 16);
static_assert(offsetof(DriverInfo, defaultLine) == 20 && offsetof(DriverInfo, constant3) == 28);
static_assert(offsetof(StartArgs, portEnabled) == 12 && offsetof(StartArgs, readTimeout) == 16);
static_assert(offsetof(StartArgs, line) == 20 && sizeof(StartArgs) == 28);
static_assert(offsetof(SetPortArgs, readTimeout) == 12 && offsetof(SetPortArgs, line) == 16);
static_assert(sizeof(SetPortArgs) == 24);
static_assert(offsetof(GateParseArgs, gateId) == 4 && offsetof(GateParseArgs, gateType) == 8);
static_assert(offsetof(GateParseArgs, addressKind) == 16);
static_assert(offsetof(GateParseArgs, presetA) == 20);
static_assert(offsetof(GateParseArgs, addressCode) == 24);
static_assert(offsetof(GateParseArgs, presetB) == 28);
static_assert(offsetof(GateParseArgs, presetC) == 32);
static_assert(offsetof(GateAccessArgs, gateType) == 28);
static_assert(offsetof(GateAccessArgs, valueArea) == 40);
static_assert(sizeof(GateValue) == 4 && offsetof(GateValue, digitalState) == 2);
#endif
