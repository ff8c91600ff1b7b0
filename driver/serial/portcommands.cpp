// The host's port commands: close the VPI's serial port, reopen it with the stored settings, or
// take new settings and open with them. The report thread keeps running throughout and uses
// whatever portHandle holds; the native layer refuses a closed handle, never reuses it blindly.
#include <cstring>

#include "serial/serial.hpp"

namespace {

constexpr std::int32_t kPortFailed = 2;

// Stores a freshly opened handle unless another caller got a port in first; the loser closes its
// own handle, so a handle is never dropped while still open.
bool InstallHandle(VpiInstance* instance, HANDLE handle) {
    HANDLE expected = nullptr;
    if (instance->portHandle.compare_exchange_strong(expected, handle)) return true;
    (void)SerialClose(handle);
    return false;
}

}  // namespace

std::int32_t HandleClosePort(VpiRequest* request) {
    VpiInstance* instance = request->instance;
    // Taking the handle out first means two closes can never close it twice.
    HANDLE handle = instance->portHandle.exchange(nullptr);
    if (handle == nullptr) return 0;
    if (SerialClose(handle) == kSerialOk) return 0;
    // The OS kept it open: it stays the VPI's port, unless a new one was opened meanwhile.
    HANDLE expected = nullptr;
    (void)instance->portHandle.compare_exchange_strong(expected, handle);
    return kPortFailed;
}

std::int32_t HandleOpenPort(VpiRequest* request) {
    VpiInstance* instance = request->instance;
    // A serial device admits one open at a time, but not every OS enforces it (Wine does not);
    // a second open would replace the handle and leak the first. An open port is refused here,
    // so the answer is the same everywhere.
    if (instance->portHandle.load() != nullptr) return kPortFailed;
    HANDLE handle = PortOpen(instance->port);
    if (handle == nullptr) return kPortFailed;
    instance->portEnabled = 1;
    return InstallHandle(instance, handle) ? 0 : kPortFailed;
}

std::int32_t HandleSetPort(VpiRequest* request) {
    VpiInstance* instance = request->instance;
    const auto* args = static_cast<const SetPortArgs*>(request->args);

    // A name without its terminator in the 12-byte field names no device and cannot be copied
    // whole: the record is refused as it stands, the stored settings untouched.
    if (std::memchr(args->name, '\0', sizeof args->name) == nullptr) return kPortFailed;

    // Stored as given: no lower bound here, it takes effect at the next warm start.
    if (args->readTimeout != 0) instance->readTimeout = args->readTimeout;

    if (std::strncmp(args->name, instance->port.name, sizeof args->name) != 0 &&
        instance->portHandle.load() != nullptr) {
        (void)HandleClosePort(request);
    }

    std::memcpy(instance->port.name, args->name, std::strlen(args->name) + 1);
    std::memcpy(&instance->port.line, &args->line, sizeof instance->port.line);

    // Same rule as the open command: while a port is held (the same device, or one the OS would
    // not close) nothing is opened, and the new settings wait in `port` for a close and open.
    if (instance->portHandle.load() != nullptr) return kPortFailed;
    HANDLE handle = PortOpen(instance->port);
    if (handle == nullptr) return kPortFailed;
    return InstallHandle(instance, handle) ? 0 : kPortFailed;
}
