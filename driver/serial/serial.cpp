// The serial port layer: open, configure, read, write and close one serial device.
//
// Every operation is written against the Win32 communications services; platform.hpp supplies
// them (the system's own on win32, our layer on native). The layer keeps no state and logs
// nothing: callers turn the result codes into their own messages.
#include <cstring>

#include "platform.hpp"
#include "serial/serial.hpp"

namespace {

constexpr std::size_t kNameFieldSize = sizeof(PortSettings{}.name);  // 12: at most 11 characters
constexpr DWORD kDcbLength = 28;
static_assert(sizeof(DCB) == kDcbLength, "DCB keeps its Win32 size");

constexpr DWORD kOpenReadTimeoutMs = 1000;  // 100 units: the lowest readTimeout CmdStart allows
constexpr DWORD kQueueSize = 1200;
constexpr char kErrorChar = static_cast<char>(0xFC);
constexpr std::int32_t kDrainTimeout = 5;   // 50 ms: enough for bytes already on the way
constexpr DWORD kDrainChunk = 512;
constexpr std::uint32_t kMaxReadCount = 65535;  // the request size is a 16-bit quantity

DWORD DtrControlFor(std::uint16_t flags) {
    if (flags & 0x0101) return DTR_CONTROL_ENABLE;
    if (flags & 0x8000) return DTR_CONTROL_HANDSHAKE;
    return DTR_CONTROL_DISABLE;
}

DWORD RtsControlFor(std::uint16_t flags) {
    if (flags & 0x0202) return RTS_CONTROL_ENABLE;
    if (flags & 0x1000) return RTS_CONTROL_HANDSHAKE;
    if (flags & 0x2000) return RTS_CONTROL_TOGGLE;
    return RTS_CONTROL_DISABLE;
}

// A name the 12-byte field cannot hold would be handed to the OS with whatever follows it in
// memory; refuse it without looking past the field.
bool NameFits(const char* name) {
    return name != nullptr && std::memchr(name, '\0', kNameFieldSize) != nullptr;
}

}  // namespace

int SerialOpen(const char* name, const LineParams& line, std::uint32_t lineFlags,
               HANDLE* handle) {
    *handle = INVALID_HANDLE_VALUE;
    if (!NameFits(name)) return kSerialOpenFailed;

    // Share mode 0: one handle per device at a time.
    *handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (*handle == INVALID_HANDLE_VALUE) return kSerialOpenFailed;

    // The null device has no line to set up.
    if (std::strcmp(name, "NUL") == 0) return kSerialOk;

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = kDcbLength;
    if (!GetCommState(*handle, &dcb)) {
        CloseHandle(*handle);
        return kSerialNoLineState;
    }

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kOpenReadTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(*handle, &timeouts)) {
        CloseHandle(*handle);
        return kSerialOpenFailed;
    }

    const auto flags = static_cast<std::uint16_t>(lineFlags);
    dcb.BaudRate = static_cast<DWORD>(line.baud);
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DtrControlFor(flags);
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RtsControlFor(flags);
    dcb.fAbortOnError = 0;
    dcb.ByteSize = static_cast<BYTE>(line.dataBits & 0xFF);
    dcb.Parity = static_cast<BYTE>(line.parity & 0xFF);
    dcb.StopBits = static_cast<BYTE>(line.stopBits & 0xFF);
    dcb.ErrorChar = kErrorChar;
    if (!SetCommState(*handle, &dcb)) {
        CloseHandle(*handle);
        return kSerialStateRefused;
    }

    SetupComm(*handle, kQueueSize, kQueueSize);
    return kSerialOk;
}

int SerialClose(HANDLE handle) {
    return CloseHandle(handle) ? kSerialOk : kSerialRequestFailed;
}

std::int32_t SerialSetReadTimeout(HANDLE handle, std::int32_t timeout) {
    // 0 would mean no limit at all and a negative value wraps to a huge one: refuse both.
    if (timeout < 1) return 0;

    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(handle, &timeouts)) return 0;
    const DWORD previous = timeouts.ReadTotalTimeoutConstant;
    const DWORD wanted = static_cast<DWORD>(timeout) * 10u;
    if (wanted != previous) {
        timeouts.ReadTotalTimeoutConstant = wanted;
        if (!SetCommTimeouts(handle, &timeouts)) return 0;
    }
    return static_cast<std::int32_t>(previous) / 10;
}

int SerialReadExact(HANDLE handle, void* buffer, std::uint32_t count, std::int32_t* done) {
    if (done) *done = 0;
    if (count < 1 || count > kMaxReadCount) return kSerialRequestFailed;

    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < count) {
        DWORD delivered = 0;
        if (!ReadFile(handle, bytes + total, static_cast<DWORD>(count - total), &delivered,
                      nullptr)) {
            return kSerialRequestFailed;
        }
        // Nothing within the read timeout: the line has gone quiet.
        if (delivered == 0) return kSerialRequestFailed;
        total += delivered;
        if (done) *done = static_cast<std::int32_t>(total);
    }
    return kSerialOk;
}

int SerialWriteExact(HANDLE handle, const void* buffer, std::int32_t count,
                     std::int32_t* done) {
    // A negative count would become a request of billions of bytes from the caller's buffer.
    if (count < 0) return kSerialRequestFailed;
    DWORD written = 0;
    if (!WriteFile(handle, buffer, static_cast<DWORD>(count), &written, nullptr)) {
        return kSerialRequestFailed;
    }
    if (done) *done = static_cast<std::int32_t>(written);
    return written == static_cast<DWORD>(count) ? kSerialOk : kSerialShortWrite;
}

int SerialDrainInput(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (ClearCommError(handle, &errors, &status) && status.cbInQue == 0) return kSerialOk;

    // Short requests, so the drain ends soon after the line goes quiet.
    const std::int32_t previous = SerialSetReadTimeout(handle, kDrainTimeout);
    unsigned char scratch[kDrainChunk];
    bool failed = false;
    for (;;) {
        DWORD delivered = 0;
        if (!ReadFile(handle, scratch, kDrainChunk, &delivered, nullptr)) {
            failed = true;
            break;
        }
        if (delivered < kDrainChunk) break;
    }
    if (previous != 0) SerialSetReadTimeout(handle, previous);
    return failed ? kSerialOpenFailed : kSerialOk;
}

int SerialSendBreak(std::uint32_t milliseconds, HANDLE handle) {
    SetCommBreak(handle);
    Sleep(milliseconds);
    ClearCommBreak(handle);
    return kSerialOk;
}

int SerialSleep(std::uint32_t milliseconds) {
    Sleep(milliseconds);
    return kSerialOk;
}

HANDLE PortOpen(const PortSettings& settings) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (SerialOpen(settings.name, settings.line, settings.lineFlags, &handle) != kSerialOk) {
        return nullptr;
    }
    return handle;
}

// The port commands may close or replace portHandle at any moment: take it once and use that
// value for the whole request. A handle closed meanwhile is refused by the OS.
bool PortRead(VpiInstance* instance, void* buffer, std::uint32_t count) {
    const HANDLE handle = instance->portHandle.load(std::memory_order_acquire);
    std::int32_t done = 0;
    return SerialReadExact(handle, buffer, count, &done) == kSerialOk &&
           static_cast<std::uint32_t>(done) == count;
}

bool PortWrite(VpiInstance* instance, const void* buffer, std::uint32_t count) {
    if (count > 0x7FFFFFFFu) return false;
    const HANDLE handle = instance->portHandle.load(std::memory_order_acquire);
    std::int32_t done = 0;
    return SerialWriteExact(handle, buffer, static_cast<std::int32_t>(count), &done) ==
               kSerialOk &&
           static_cast<std::uint32_t>(done) == count;
}
