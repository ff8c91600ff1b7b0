// The report-by-exception thread: one per started VPI, serving its line until the host stops
// the VPI's client.
//
// Each return of the host's message wait is one chance to take one report off the line: if
// bytes wait in the input queue, one packet is framed, packetEvent is set for the "!STATUS"
// reads, and the text goes to the publisher.
#include <cstring>

#include <zelpro/zelpro.h>

#include "datapath/datapath.hpp"
#include "platform.hpp"

namespace {

constexpr int kLevelFailedPacket = 0;
constexpr int kLevelInfo = 32;
constexpr DWORD kStartPauseMs = 4000;
constexpr DWORD kEndPauseMs = 1000;
constexpr std::size_t kMessageAreaSize = 28;
constexpr int kWaitMode = 1;

unsigned char ClientOf(const VpiInstance* instance) {
    return ClientIdOf(instance);
}

}  // namespace

void ReportByExceptionThread(void* argument) {
    auto* instance = static_cast<VpiInstance*>(argument);
    unsigned char packet[kPacketBufferSize];
    std::memset(packet, 0, sizeof packet);
    unsigned char message[kMessageAreaSize];
    std::memset(message, 0, sizeof message);
    std::uint16_t length = 0;

    err(kLevelInfo, "VpiVG: VPI %d Start Report-By-Exception Thread",
        static_cast<int>(instance->vpiNumber));
    Sleep(kStartPauseMs);

    while (Zel5WaitMsg(ClientOf(instance), message, kWaitMode) != 0) {
        // While the port is closed (or its handle unusable) the query fails and tells nothing;
        // reading would only fail too and flood the log once per message wait.
        DWORD errors = 0;
        COMSTAT status;
        std::memset(&status, 0, sizeof status);
        const HANDLE port = instance->portHandle.load(std::memory_order_acquire);
        if (!ClearCommError(port, &errors, &status)) continue;
        if (status.cbInQue == 0) continue;

        std::memset(packet, 0, sizeof packet);
        if (ReceivePacket(instance, packet, &length)) {
            // Cut the text just before the "\n\r" trailer.
            packet[length - 2] = '\0';
            SetEvent(instance->packetEvent.load(std::memory_order_acquire));
            PublishPacket(instance, reinterpret_cast<const char*>(packet));
        } else {
            err(kLevelFailedPacket, "VPIVG: Read Packet failed!");
            DumpBuffer(packet, length, kLevelFailedPacket);
        }
    }

    // From here on VpiMain serves this VPI no more and releases packetEvent; this thread must
    // not touch it again.
    instance->threadEnded.store(1, std::memory_order_release);
    Sleep(kEndPauseMs);
    Zel5RmClient(ClientOf(instance));
    err(kLevelInfo, "VpiVG: ShutDown Report By Excption thread");
}
