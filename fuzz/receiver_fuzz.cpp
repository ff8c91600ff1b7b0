// ReceivePacket framing a byte stream that arrives through the platform layer: a pseudo-terminal
// pair whose slave is opened with CreateFileA like a port (1 ms read timeout, so the end of the
// input ends a read); the input is written to the master and, once it all waits on the slave
// side, every call's result, length and buffer must match an independent framing of the bytes.
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "datapath/datapath.hpp"
#include "fuzz_common.hpp"
#include "platform.hpp"

namespace {

VpiInstance* instance = nullptr;
int master = -1;
int slave = -1;
HANDLE port = nullptr;

struct Framed {
    int result = 0;
    std::string stored;
};

// One call of the receiver read plainly: hunt for "a" within 1000 bytes, then collect up to
// 1000 more until LF CR. Running out of bytes is a failed read.
Framed FrameOne(const std::string& in, std::size_t* at) {
    Framed out;
    std::size_t hunted = 0;
    for (;;) {
        if (hunted == 1000) return out;
        if (*at >= in.size()) return out;
        ++hunted;
        if (in[(*at)++] == 'a') break;
    }
    out.stored = "a";
    for (std::size_t collected = 0; collected < 1000 && *at < in.size(); ++collected) {
        out.stored.push_back(in[(*at)++]);
        const std::size_t n = out.stored.size();
        if (out.stored[n - 1] == '\r' && out.stored[n - 2] == '\n') {
            out.result = 1;
            break;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    instance = fuzzsupport::FreshRuntimeAndInstance();
    instance->vpiNumber = 1;
    FUZZ_CHECK(openpty(&master, &slave, nullptr, nullptr, nullptr) == 0, "no pty");
    const char* path = ttyname(slave);
    FUZZ_CHECK(path != nullptr, "no pty name");
    port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    FUZZ_CHECK(port != INVALID_HANDLE_VALUE, "CreateFileA refused %s", path);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 1;
    FUZZ_CHECK(SetCommTimeouts(port, &timeouts), "SetCommTimeouts failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 6000) return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);

    // The slave side holds at most 4095 bytes in raw mode.
    if (size > 3500) return 0;
    std::size_t written = 0;
    while (written < size) {
        const ssize_t n = write(master, data + written, size - written);
        FUZZ_CHECK(n > 0, "pty write failed");
        written += static_cast<std::size_t>(n);
    }
    // The pty hands bytes over asynchronously; start only when all of them wait.
    for (int waited = 0;; ++waited) {
        int queued = 0;
        FUZZ_CHECK(ioctl(slave, FIONREAD, &queued) == 0, "FIONREAD failed");
        if (static_cast<std::size_t>(queued) >= size) break;
        FUZZ_CHECK(waited < 100000, "only %d of %zu bytes arrived", queued, size);
        usleep(10);
    }
    instance->portHandle.store(port);

    std::size_t at = 0;
    for (;;) {
        const bool lastCall = at >= input.size();
        std::vector<unsigned char> buffer(kPacketBufferSize, 0);
        std::uint16_t length = 0xFFFF;
        const int result = ReceivePacket(instance, buffer.data(), &length);
        const Framed want = FrameOne(input, &at);
        FUZZ_CHECK(result == want.result && length == want.stored.size(),
                   "result %d length %u, expected %d length %zu", result, length, want.result,
                   want.stored.size());
        FUZZ_CHECK(std::memcmp(buffer.data(), want.stored.data(), length) == 0,
                   "stored bytes differ");
        for (std::size_t i = length; i < buffer.size(); ++i) {
            FUZZ_CHECK(buffer[i] == 0, "wrote past the packet at %zu", i);
        }
        if (lastCall) break;
    }
    instance->portHandle.store(nullptr);
    return 0;
}
