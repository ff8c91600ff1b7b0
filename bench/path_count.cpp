// Pushes N reports through the whole receive -> parse -> publish path, the way the report
// thread takes them: the input-queue query, the packet buffer cleared, the one-byte-per-request
// receiver, the cut before the trailer, the event, the publisher. Meant to run under
// valgrind --tool=callgrind --collect-atstart=no: only that path is counted, not the writing of
// the reports into the pseudo-terminal nor the wait for them to arrive, so the count of
// instructions per report is the same on every run.
//
//   vpivg-bench-path short|full N
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include <zelpro/zelpro.h>

#include "control.hpp"
#include "datapath/datapath.hpp"
#include "platform.hpp"
#include "rawpty.hpp"
#include "reports.hpp"
#include "serial/serial.hpp"

namespace {

constexpr int kVpi = 1;

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// One iteration of the report thread once the message wait has come back.
__attribute__((noinline)) bool TakeOneReport(VpiInstance* instance, unsigned char* packet) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (!ClearCommError(instance->portHandle.load(), &errors, &status) || status.cbInQue == 0) {
        return false;
    }
    std::memset(packet, 0, kPacketBufferSize);
    std::uint16_t length = 0;
    if (!ReceivePacket(instance, packet, &length)) return false;
    packet[length - 2] = '\0';
    SetEvent(instance->packetEvent.load());
    PublishPacket(instance, reinterpret_cast<const char*>(packet));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    vpibench::ReportKind kind{};
    if (argc != 3 || !vpibench::KindFromName(argv[1], &kind)) {
        std::fprintf(stderr, "usage: %s short|full N\n", argv[0]);
        return 2;
    }
    const long count = std::atol(argv[2]);

    int master = -1;
    int slave = -1;
    if (!vpibench::OpenRawPty(&master, &slave)) return 1;
    char dir[] = "/tmp/vpivg-bench-path-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string link = std::string(dir) + "/com1";
    if (symlink(ttyname(slave), link.c_str()) != 0) return 1;
    setenv("VPIVG_DEVICE_DIR", dir, 1);

    zelpro::Reset();
    auto* instance = static_cast<VpiInstance*>(std::calloc(1, sizeof(VpiInstance)));
    PortSettings settings{};
    std::snprintf(settings.name, sizeof settings.name, "COM1");
    settings.line = LineParams{9600, 8, 0, 0};
    settings.lineFlags = 8;
    const HANDLE port = PortOpen(settings);
    unlink(link.c_str());
    rmdir(dir);
    if (port == nullptr) {
        std::fprintf(stderr, "cannot open the pseudo-terminal\n");
        return 1;
    }
    instance->portHandle.store(port);
    instance->vpiNumber = kVpi;
    instance->packetEvent.store(CreateEventA(nullptr, FALSE, TRUE, nullptr));
    std::uint32_t client = 0;
    Zel5MkClient("VG_No_01", 0, 0, &client);
    instance->clientId = client;
    for (int n = 1; n <= 99; ++n) {
        char address[16];
        std::snprintf(address, sizeof address, "I%.2dP%.2d", vpibench::kStream, n);
        zelpro::AddGate(kVpi, address, 3);
    }

    static unsigned char packet[kPacketBufferSize];
    long published = 0;
    for (long i = 0; i < count; ++i) {
        const std::string line = vpibench::ReportLine(kind, static_cast<std::uint32_t>(i));
        if (!WriteAll(master, line)) return 1;
        // Wait, uncounted, until the whole report is in the input queue.
        for (;;) {
            DWORD errors = 0;
            COMSTAT status{};
            ClearCommError(port, &errors, &status);
            if (status.cbInQue >= line.size()) break;
            usleep(50);
        }
        CALLGRIND_TOGGLE_COLLECT;
        const bool ok = TakeOneReport(instance, packet);
        CALLGRIND_TOGGLE_COLLECT;
        if (ok) ++published;
    }
    const auto gate = zelpro::FindGate(kVpi, "I05P03");
    const double last = gate ? zelpro::Gate(*gate)->value : 0.0;
    std::printf("{\"kind\": \"%s\", \"reports\": %ld, \"published\": %ld, \"last_sequence\": %.0f}\n",
                vpibench::KindName(kind), count, published, last - vpibench::kSequenceBase);
    return published == count ? 0 : 1;
}
