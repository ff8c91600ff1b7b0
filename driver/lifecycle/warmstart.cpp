// Warm start (throw away waiting input, reset the gates on the next read) and close (only
// logged: a VPI winds down through its thread when the host stops its client).
#include "frame/zelpro.h"
#include "lifecycle/lifecycle.hpp"
#include "serial/serial.hpp"

namespace {

constexpr std::int32_t kDrainTimeout = 5;  // 50 ms of silence ends the drain
constexpr std::uint32_t kDrainSize = 3000;

}  // namespace

void DiscardPortInput(VpiInstance* instance) {
    const std::int32_t readTimeout = instance->readTimeout;
    (void)SerialSetReadTimeout(instance->portHandle.load(), kDrainTimeout);
    unsigned char scratch[kDrainSize];
    // Normally fewer than 3000 bytes come, so the read "fails"; what came is discarded either way.
    (void)PortRead(instance, scratch, kDrainSize);
    // Back to the instance's own timeout, not to what the port had: a timeout the host stored
    // with the port command takes effect here.
    (void)SerialSetReadTimeout(instance->portHandle.load(), readTimeout);
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
