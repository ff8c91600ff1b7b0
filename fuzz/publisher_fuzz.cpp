// PublishPacket on the stand-in host runtime, with the gates of streams 1 and 2 present (some
// missing) and lookup/write faults chosen by the first input byte. Every value that reaches a
// gate must be what an independent ParsePacket of the same text gives, in the documented order.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <zelpro/zelpro.h>

#include "datapath/datapath.hpp"
#include "fuzz_common.hpp"

namespace {

VpiInstance* instance = nullptr;
std::vector<std::pair<std::uint32_t, double>> writes;

void SetUp() {
    instance = fuzzsupport::FreshRuntimeAndInstance();
    std::uint32_t slot = 0;
    FUZZ_CHECK(Zel5MkClient("VG_No_01", 1, 0, &slot) == 0, "no client");
    instance->clientId = slot;
    instance->vpiNumber = 1;
    char address[16];
    for (int stream = 1; stream <= 2; ++stream) {
        for (int p = 1; p <= 20; ++p) {
            if (stream == 2 && (p == 3 || p == 7)) continue;  // missing gates are logged, skipped
            std::snprintf(address, sizeof address, "I%.2dP%.2d", stream, p);
            zelpro::AddGate(1, address, p <= 4 ? 5 : 3);
        }
    }
    zelpro::SetGateWriteHook([](std::uint32_t id, double value) { writes.emplace_back(id, value); });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 3100) return 0;
    const unsigned mode = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string cText(text.c_str());
    std::vector<char> copy(cText.begin(), cText.end());
    copy.push_back('\0');

    // Low bits: how many lookups fail; next bits: how many writes fail.
    zelpro::InjectFault(zelpro::Fault::Lookup, static_cast<int>(mode & 3u));
    zelpro::InjectFault(zelpro::Fault::PutValue, static_cast<int>((mode >> 2) & 3u));
    writes.clear();
    PublishPacket(instance, copy.data());
    zelpro::InjectFault(zelpro::Fault::Lookup, 0);
    zelpro::InjectFault(zelpro::Fault::PutValue, 0);

    MeasurementRecord record;
    std::memset(&record, 0, sizeof record);
    if (ParsePacket(cText.c_str(), &record) != 1) {
        FUZZ_CHECK(writes.empty(), "a rejected packet wrote %zu gates", writes.size());
        return 0;
    }
    // What may have been written, in order; faults and missing gates only leave some out.
    std::vector<std::pair<std::string, double>> wanted;
    char address[16];
    const double fixed[4] = {static_cast<double>(record.value01),
                             static_cast<double>(record.value02),
                             static_cast<double>(record.value03),
                             static_cast<double>(record.streamNumber)};
    for (int p = 1; p <= 4; ++p) {
        std::snprintf(address, sizeof address, "I%.2dP%.2d", record.streamNumber, p);
        wanted.emplace_back(address, fixed[p - 1]);
    }
    for (int p = 5; p < 100; ++p) {
        if (record.parameters[p] == 0.0f) continue;
        std::snprintf(address, sizeof address, "I%.2dP%.2d", record.streamNumber, p);
        wanted.emplace_back(address, static_cast<double>(record.parameters[p]));
    }
    std::size_t next = 0;
    for (const auto& [id, value] : writes) {
        const auto gate = zelpro::Gate(id);
        FUZZ_CHECK(gate.has_value(), "write to unknown gate %u", id);
        while (next < wanted.size() && wanted[next].first != gate->address) ++next;
        FUZZ_CHECK(next < wanted.size(), "unexpected or out-of-order write to %s",
                   gate->address.c_str());
        FUZZ_CHECK(std::memcmp(&wanted[next].second, &value, sizeof value) == 0,
                   "%s got %.17g, packet says %.17g", gate->address.c_str(), value,
                   wanted[next].second);
        ++next;
    }
    // Without faults every wanted gate that exists must have been written.
    if ((mode & 15u) == 0) {
        std::size_t present = 0;
        for (const auto& item : wanted) {
            if (zelpro::FindGate(1, item.first)) ++present;
        }
        FUZZ_CHECK(present == writes.size(), "%zu gates exist, %zu written", present,
                   writes.size());
    }
    return 0;
}
