// The gateway's on-disk store on its own: the time per report of what the forwarder asks of it
// while the broker keeps up. Each iteration appends one batch (the reports of one commit), removes
// the batch before it (its checkpoint came back meanwhile) and, once a second's worth of commits,
// syncs. A batch of 10 is one VPI flat out (about 3,300 reports a second, a commit every 3 ms);
// a batch of 1 is a quiet line; 200 is many VPIs at once.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "store.hpp"

namespace {

using gateway::Report;
using gateway::ReportId;
using gateway::Store;

constexpr int kCommitsPerSecond = 333;

// A short report: the four fixed fields and two measured values.
Report ShortReport(int i) {
    const gateway::EpochMs at = 1796747846123 + i * 3;
    Report report{1, 5, at, {}, false};
    for (int param = 1; param <= 6; ++param) report.values.push_back({param, 100.25 * param + i, at});
    return report;
}

void StoreFlatOut(benchmark::State& state) {
    const auto batchSize = static_cast<int>(state.range(0));
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("vpivg-store-bench-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::string error;
    auto store = Store::Open((folder / "bench.db").string(), 256ull << 20, &error);
    if (!store) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<Report> batch;
    for (int i = 0; i < batchSize; ++i) batch.push_back(ShortReport(i));
    std::vector<ReportId> sent, previous;
    int commits = 0;
    for (auto _ : state) {
        if (!store->Append(batch, &error, &sent)) {
            state.SkipWithError(error.c_str());
            break;
        }
        store->Remove(previous);
        previous.swap(sent);
        if (++commits % kCommitsPerSecond == 0 && !store->Sync(&error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * batchSize);
    store.reset();
    std::filesystem::remove_all(folder);
}

BENCHMARK(StoreFlatOut)->ArgName("batch")->Arg(1)->Arg(10)->Arg(200)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
