// Bringing a VPI up: its port, its "!STATUS" wait from the init file, cleared gate marks, its host
// client, the packet event and, last of all, the report thread that serves the line.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <zelpro/zelpro.h>

#include "datapath/datapath.hpp"
#include "lifecycle/lifecycle.hpp"
#include "serial/serial.hpp"

namespace {

constexpr std::int32_t kLowestReadTimeout = 100;  // 1 s in 10 ms units
constexpr std::uint16_t kDefaultStatusWait = 60;  // ms
constexpr std::uint16_t kStartLineFlags = 8;      // DTR off, RTS off

// True when the host's 12-byte name field holds its terminator.
bool NameTerminated(const char (&name)[12]) {
    return std::memchr(name, '\0', sizeof name) != nullptr;
}

}  // namespace

std::int32_t HandleStart(VpiRequest* request) {
    err(32, "VPIVG: ver. compiled on Oct 15 1998 at 19:19:38");

    VpiInstance* instance = request->instance;
    const auto* args = static_cast<const StartArgs*>(request->args);
    const std::int32_t vpi = request->vpiNumber;

    instance->portEnabled = static_cast<std::uint32_t>(args->portEnabled);
    if (args->portEnabled == 0) return 0;

    // A name that fills all 12 bytes without its terminator names no device we could open, and
    // copying it would run past the field: it is refused like a port that cannot be opened, and
    // the message shows the 12 bytes the field does hold.
    if (!NameTerminated(args->name)) {
        char shown[sizeof args->name + 1] = {};
        std::memcpy(shown, args->name, sizeof args->name);
        err(32, "VPIVG: Fail to open %s, VPI %d", shown, vpi);
        return 2;
    }

    PortSettings settings{};
    // A string copy, bounded: the terminator is known to lie within the field.
    std::memcpy(settings.name, args->name, strnlen(args->name, sizeof args->name) + 1);
    std::memcpy(&settings.line, &args->line, sizeof settings.line);
    settings.lineFlags = kStartLineFlags;

    HANDLE handle = PortOpen(settings);
    if (handle == nullptr) {
        err(32, "VPIVG: Fail to open %s, VPI %d", args->name, vpi);
        return 2;
    }
    instance->portHandle.store(handle);

    // Below 1 s a report's bytes could be taken for silence; the comparison is signed so a
    // negative value from the host is raised too.
    instance->readTimeout =
        args->readTimeout < kLowestReadTimeout ? kLowestReadTimeout : args->readTimeout;
    (void)SerialSetReadTimeout(instance->portHandle.load(), instance->readTimeout);

    std::memcpy(&instance->port, &settings, sizeof settings);
    instance->vpiNumber = static_cast<std::uint16_t>(vpi);
    instance->statusWait = kDefaultStatusWait;
    (void)ReadInitFile(request);

    std::memset(instance->gateInUse, 0, sizeof instance->gateInUse);
    instance->resetPending = 1;

    // Sized for any 32-bit VPI number ("VG_No_-2147483648"); snprintf never writes past it.
    char clientName[24];
    std::snprintf(clientName, sizeof clientName, "VG_No_%.2d", vpi);
    // The host gets the block's own slot, not a copy: it may keep the pointer and write the id
    // through it later, and the driver must then see that id. The thread is not running yet,
    // and _beginthread below orders the host's first write before the thread's reads.
    const unsigned short made = Zel5MkClient(clientName, 1, 0, &instance->clientId);
    if (made != 0) {
        err(32, "VPIVG: Failed to Make Client. Vpi %d", vpi);
        return 0;
    }

    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    instance->packetEvent.store(event);
    if (event == nullptr) {
        err(32, "VPIVG: Failed to create Event!");
        return 0;
    }

    // Last: the thread reads portHandle, clientId, vpiNumber and packetEvent, all set by now.
    if (_beginthread(ReportByExceptionThread, kThreadStackSize, instance) ==
        static_cast<std::uintptr_t>(-1)) {
        err(32, "VpiVG: Failed to open thread !");
        return 0;
    }
    err(32, "VPIVG: VPI no. %d loaded successfully", vpi);
    return 0;
}
