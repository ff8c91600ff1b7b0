// The gateway's per-report encoding on its own: what each format costs the MQTT link for one
// report, topic and payload, in a session that is up. The report is the benchmark feed's short
// one (the four fixed fields and two measured values) and a long one of every parameter a
// stream can carry.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "json_protocol.hpp"
#include "sparkplug_protocol.hpp"

namespace {

using gateway::Device;
using gateway::Report;

constexpr gateway::EpochMs kT0 = 1796747846123;

Report MakeReport(int values) {
    Report report{1, 5, kT0, {}, false};
    for (int param = 1; param <= values; ++param) {
        const double value = param <= 4 ? 1000.0 + param : 1.0e-7 * param + 0.125;
        report.values.push_back({param, value, kT0 + param});
    }
    return report;
}

std::vector<Device> Devices() {
    Device device{1, "VPI1", {}};
    for (int stream = 1; stream <= 16; ++stream) {
        for (int param = 1; param <= 32; ++param) device.gates.push_back({stream, param});
    }
    return {device};
}

template <typename Protocol>
void Encode(benchmark::State& state, Protocol& protocol) {
    const Report report = MakeReport(static_cast<int>(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto out = protocol.OnReport(report, kT0);
        bytes += out.empty() ? 0 : out.back().payload.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes"] = benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(state.iterations()));
}

void Json(benchmark::State& state) {
    gateway::JsonProtocol protocol({gateway::DefaultJsonPrefix("bench"), 1}, Devices());
    protocol.OnConnected(0, kT0);
    Encode(state, protocol);
}

void Sparkplug(benchmark::State& state) {
    gateway::SparkplugProtocol protocol({"plant", "bench", ""}, Devices(), "bench");
    protocol.OnConnected(0, kT0);
    // The device's birth goes with its first report; the loop measures the data after it.
    protocol.OnReport(MakeReport(1), kT0);
    Encode(state, protocol);
}

BENCHMARK(Json)->Arg(6)->Arg(32);
BENCHMARK(Sparkplug)->Arg(6)->Arg(32);

}  // namespace

BENCHMARK_MAIN();
