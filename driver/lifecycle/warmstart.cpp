// Warm start (throw away waiting input, reset the gates on the next read) and close (only
// logged: a VPI winds down through its thread when the host stops its client).
#include <zelpro/zelpro.h>

#include "lifecycle/lifecycle.hpp"
#include "serial/serial.hpp"

namespace {

constexpr std::int32_t kDrainTimeout = 5;  // 50 ms of silence ends the drain
constexpr std::uint32_t kDrainSize = 3000;

}  // namespace

void DiscardPortInput(VpiInstance* instance) {
    const std::int32_t readTimeout = instance->readTimeout;
    const std::int32_t before = SerialSetReadTimeout(instance->portHandle.load(), kDrainTimeout);
    unsigned char scratch[kDrainSize];
    // Normally fewer than 3000 bytes come, so the read "fails"; what came is discarded either way.
    (void)PortRead(instance, scratch, kDrainSize);
    // Back to the instance's own timeout, not to what the port had: a timeout the host stored
    // with the port command takes effect here. A stored value below 1 (the port command takes
    // any nonzero value) cannot be applied; rather than leave the line on the drain's 50 ms,
    // the port gets back what it had.
    const std::int32_t restore = readTimeout >= 1 ? readTimeout : before;
    (void)SerialSetReadTimeout(instance->portHandle.load(), restore);
}

std::int32_t HandleWarmStart(VpiRequest* request) {
    VpiInstance* instance = request->instance;
    if (instance->portHandle.load() != nullptr) DiscardPortInput(instance);
    instance->resetPending = 1;
    err(32, "VPIVG: Warm Start");
    return 0;
}

std::int32_t HandleClose(VpiRequest* request) {
    Sleep(100);
    err(32, "VPIVG: Closing Vpi %d", request->instance->vpiNumber);
    return 0;
}
