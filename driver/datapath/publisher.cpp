// The gate publisher: one accepted report into the host's gate database.
//
// The four fixed fields go to I<nn>P01..I<nn>P04 whatever their values; each nonzero parameter
// n goes to I<nn>P<n>. Gate ids are looked up afresh every time: the host may rebind gates
// between reports, and nothing here outlives one call.
#include <cmath>
#include <cstdio>

#include <zelpro/zelpro.h>

#include "datapath/datapath.hpp"
#include "platform.hpp"

namespace {

constexpr int kLevelTrace = 8;
constexpr int kLevelInfo = 32;
constexpr int kPutMode = 2;
constexpr int kFirstParameter = 5;
constexpr int kLastParameter = 99;

// "I" + up to five digits of the stream number + "P" + two digits, and room to spare.
constexpr std::size_t kAddressSize = 16;

struct Target {
    unsigned char client;
    unsigned char vpi;
};

void WriteGate(const Target& target, const char* address, int missingLevel, double value) {
    std::uint32_t gateId = 0;
    if (Zel5GetGateIdByAddressStr(target.client, target.vpi, address, &gateId) != 0) {
        err(missingLevel, "VpiVG: Can not find gate %s in Database!", address);
        return;
    }
    if (Zel5PutGateVal(target.client, gateId, kPutMode, value, 0, 0) != 0) {
        err(kLevelInfo, "VpiVG: Write gate id %d failed", static_cast<int>(gateId));
    }
}

}  // namespace

void PublishPacket(VpiInstance* instance, const char* text) {
    MeasurementRecord record{};
    for (float& parameter : record.parameters) parameter = 0.0f;
    if (!ParsePacket(text, &record)) return;

    const Target target{
        ClientIdOf(instance),
        static_cast<unsigned char>(instance->vpiNumber & 0xFF)};
    const int stream = record.streamNumber;
    char address[kAddressSize];

    std::snprintf(address, sizeof address, "I%.2dP01", stream);
    WriteGate(target, address, kLevelTrace, static_cast<double>(record.value01));
    std::snprintf(address, sizeof address, "I%.2dP02", stream);
    WriteGate(target, address, kLevelTrace, static_cast<double>(record.value02));
    std::snprintf(address, sizeof address, "I%.2dP03", stream);
    WriteGate(target, address, kLevelInfo, static_cast<double>(record.value03));
    std::snprintf(address, sizeof address, "I%.2dP04", stream);
    WriteGate(target, address, kLevelTrace, static_cast<double>(record.streamNumber));

    for (int n = kFirstParameter; n <= kLastParameter; ++n) {
        const float value = record.parameters[n];
        // A parameter reported as 0 (or not reported) leaves its gate as it was.
        if (value == 0.0f || std::isnan(value)) continue;
        std::snprintf(address, sizeof address, "I%.2dP%.2d", stream, n);
        WriteGate(target, address, kLevelInfo, static_cast<double>(value));
    }
}
