// Time per report of the parser alone and of the publisher (parse, then look up and write every
// gate of the report in the stand-in host's database), for a short and a full report.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <zelpro/zelpro.h>

#include "control.hpp"
#include "datapath/datapath.hpp"
#include "reports.hpp"

namespace {

using vpibench::ReportKind;

constexpr int kVpi = 1;

struct FreeBlock {
    void operator()(VpiInstance* block) const { std::free(block); }
};

// A VPI block as the host allocates it, with a client and every gate of stream 5 bound.
std::unique_ptr<VpiInstance, FreeBlock> PublishingInstance() {
    zelpro::Reset();
    std::unique_ptr<VpiInstance, FreeBlock> instance(
        static_cast<VpiInstance*>(std::calloc(1, sizeof(VpiInstance))));
    std::uint32_t client = 0;
    Zel5MkClient("VG_No_01", 0, 0, &client);
    instance->clientId = client;
    instance->vpiNumber = kVpi;
    for (int n = 1; n <= 99; ++n) {
        char address[16];
        std::snprintf(address, sizeof address, "I%.2dP%.2d", vpibench::kStream, n);
        zelpro::AddGate(kVpi, address, 3);
    }
    return instance;
}

void Parse(benchmark::State& state, ReportKind kind) {
    const std::string text = vpibench::ReportText(kind, 4711);
    MeasurementRecord record{};
    for (auto _ : state) {
        const int accepted = ParsePacket(text.c_str(), &record);
        benchmark::DoNotOptimize(accepted);
        benchmark::DoNotOptimize(record);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void Publish(benchmark::State& state, ReportKind kind) {
    auto instance = PublishingInstance();
    const std::string text = vpibench::ReportText(kind, 4711);
    for (auto _ : state) {
        PublishPacket(instance.get(), text.c_str());
    }
    const auto last = zelpro::FindGate(kVpi, "I05P05");
    if (!last || zelpro::Gate(*last)->writes == 0) state.SkipWithError("nothing was published");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
    zelpro::Reset();
}

}  // namespace

BENCHMARK_CAPTURE(Parse, short, ReportKind::Short);
BENCHMARK_CAPTURE(Parse, full, ReportKind::Full);
BENCHMARK_CAPTURE(Publish, short, ReportKind::Short);
BENCHMARK_CAPTURE(Publish, full, ReportKind::Full);

BENCHMARK_MAIN();
