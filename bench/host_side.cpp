// The host side of the line benchmarks: starts VPIs through VpiMain the way a SCADA host does
// (describe, zero-filled blocks, start on "COMn"), binds stream 5's gates in the stand-in host
// database and watches every write through the gate write hook, on the driver's own threads.
//
// A report counts as delivered when its last gate is written (P05 for the short report, P99 for
// the full one); field 03 carries its sequence number, so a gap is a lost report.
//
//   vpivg-bench-host [--first 1] [--vpis 1] [--kind short|full] [--tick MS]
//                    ( --expect N [--timeout-s S]              count N reports per VPI
//                    | --warmup-s W --measure-s D )            CPU and counts over a window
//                    [--stamps FILE [--latency-out FILE]]      feeder's stamps: latency
//                    [--wait-only 1]   no driver: one thread per VPI does nothing but the host's
//                                      message wait, so a window shows what the tick costs alone
//
// Prints one JSON object. CPU is the whole process's (user + system), over the window or from
// the first to the last report.
#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#include <time.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <vpivg/vpivg.h>
#include <zelpro/zelpro.h>

#include "control.hpp"
#include "reports.hpp"

#if defined(_WIN32)
// Looked up by name in vpivg.dll, the way a host finds it: the DLL exports the plain and the
// decorated name only, which a 32-bit import of the __stdcall function would not find.
using VpiMainFunction = std::int32_t(__stdcall*)(VpiRequest* request);
VpiMainFunction VpiMain = nullptr;
#else
extern "C" std::int32_t VpiMain(VpiRequest* request);
#endif

namespace {

using vpibench::ReportKind;

std::int64_t NowNs() {
#if defined(_WIN32)
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
#endif
}

double CpuSeconds() {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto value = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(value(kernel) + value(user)) / 1e7;
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

// Resident memory of the process, KiB.
double ResidentKiB() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return static_cast<double>(counters.WorkingSetSize) / 1024.0;
#else
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6);
    }
    return 0;
#endif
}

struct Options {
    int first = 1;
    int vpis = 1;
    ReportKind kind = ReportKind::Short;
    int tick = 20;
    long expect = 0;
    double timeoutS = 120;
    double warmupS = 0;
    double measureS = 0;
    std::string stamps;
    std::string latencyOut;
    bool waitOnly = false;
};

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        if (a == "--first") o->first = std::atoi(v);
        else if (a == "--vpis") o->vpis = std::atoi(v);
        else if (a == "--kind") { if (!vpibench::KindFromName(v, &o->kind)) return false; }
        else if (a == "--tick") o->tick = std::atoi(v);
        else if (a == "--expect") o->expect = std::atol(v);
        else if (a == "--timeout-s") o->timeoutS = std::atof(v);
        else if (a == "--warmup-s") o->warmupS = std::atof(v);
        else if (a == "--measure-s") o->measureS = std::atof(v);
        else if (a == "--stamps") o->stamps = v;
        else if (a == "--latency-out") o->latencyOut = v;
        else if (a == "--wait-only") o->waitOnly = std::atoi(v) != 0;
        else return false;
    }
    if (o->waitOnly && o->measureS <= 0) return false;
    return o->vpis >= 1 && o->vpis <= 250 && (o->expect > 0 || o->measureS > 0);
}

// What one VPI's thread has delivered. Written only by that thread (through the hook).
struct VpiTally {
    std::int64_t current = -1;   // sequence of the report being published
    std::int64_t last = -1;      // sequence of the last complete report
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::uint64_t> lost{0};
    std::vector<std::pair<std::uint32_t, std::int64_t>> done;  // sequence, when (latency runs)
};

struct Run {
    Options options;
    std::vector<std::int32_t> role;  // gate id -> vpi index * 2 + (0: P03, 1: last gate), or -1
    std::vector<VpiTally> tallies;
    std::atomic<std::uint64_t> delivered{0};
    std::uint64_t target = 0;
    std::atomic<std::int64_t> firstNs{0};
    std::atomic<std::int64_t> lastNs{0};
    double firstCpu = 0;
    std::atomic<double> lastCpu{0};
    bool keepTimes = false;
};

Run* theRun = nullptr;

void OnGateWrite(std::uint32_t id, double value) {
    Run& run = *theRun;
    if (id >= run.role.size() || run.role[id] < 0) return;
    VpiTally& tally = run.tallies[static_cast<std::size_t>(run.role[id] / 2)];
    if (run.role[id] % 2 == 0) {
        tally.current = static_cast<std::int64_t>(value) - vpibench::kSequenceBase;
        return;
    }
    const std::int64_t now = NowNs();
    if (tally.current > tally.last + 1) {
        tally.lost.fetch_add(static_cast<std::uint64_t>(tally.current - tally.last - 1),
                             std::memory_order_relaxed);
    }
    tally.last = tally.current;
    tally.delivered.fetch_add(1, std::memory_order_relaxed);
    if (run.keepTimes) tally.done.emplace_back(static_cast<std::uint32_t>(tally.current), now);
    const std::uint64_t total = run.delivered.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (total == 1) {
        run.firstCpu = CpuSeconds();
        run.firstNs.store(now, std::memory_order_release);
    }
    if (run.target != 0 && total == run.target) {
        run.lastCpu.store(CpuSeconds(), std::memory_order_relaxed);
        run.lastNs.store(now, std::memory_order_release);
    }
}

void SleepS(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

struct Stamp {
    std::uint32_t line;
    std::uint32_t sequence;
    std::int64_t ns;
};

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const double rank = p / 100.0 * static_cast<double>(sorted.size() - 1);
    const std::size_t low = static_cast<std::size_t>(rank);
    const std::size_t high = std::min(low + 1, sorted.size() - 1);
    const double part = rank - static_cast<double>(low);
    return sorted[low] * (1 - part) + sorted[high] * part;
}

// What a report thread does when its line is silent, less the driver's one status query: one
// thread per client doing nothing but the host's message wait.
bool StartBareWaiters(int count) {
    for (int v = 0; v < count; ++v) {
        std::uint32_t slot = 0;
        char name[32];
        std::snprintf(name, sizeof name, "VG_No_%.2d", v + 1);
        if (Zel5MkClient(name, 1, 0, &slot) != 0) return false;
        std::thread([client = static_cast<unsigned char>(slot)] {
            unsigned char message[28];
            while (Zel5WaitMsg(client, message, 1) != 0) {
            }
        }).detach();
    }
    return true;
}

// Starts VPIs 1..o.vpis on COM<first>.. the way a host does: a zero-filled block each, CmdStart.
// The blocks stay for the life of the process, as the report threads use them.
bool StartVpis(const Options& o, std::uint32_t instanceSize) {
    for (int v = 0; v < o.vpis; ++v) {
        auto* block = static_cast<VpiInstance*>(std::calloc(1, instanceSize));
        StartArgs args{};
        // Windows opens COM10 and above only by their device path.
        const int com = o.first + v;
        std::snprintf(args.name, sizeof args.name, com < 10 ? "COM%d" : "\\\\.\\COM%d", com);
        args.portEnabled = 1;
        args.readTimeout = 100;
        args.line = LineParams{9600, 8, 0, 0};
        VpiRequest request{};
        request.instance = block;
        request.command = CmdStart;
        request.vpiNumber = v + 1;
        request.args = &args;
        if (VpiMain(&request) != 0) {
            std::fprintf(stderr, "vpivg-bench-host: VPI %d did not start on %s\n", v + 1,
                         args.name);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Run run;
    theRun = &run;
    Options& o = run.options;
    if (!ParseOptions(argc, argv, &o)) {
        std::fprintf(stderr, "usage: see the comment at the top of bench/host_side.cpp\n");
        return 2;
    }
#if defined(_WIN32)
    if (HMODULE driver = LoadLibraryA("vpivg.dll")) {
        VpiMain = reinterpret_cast<VpiMainFunction>(
            reinterpret_cast<void*>(GetProcAddress(driver, "VpiMain")));
    }
    if (VpiMain == nullptr) {
        std::fprintf(stderr, "vpivg-bench-host: no VpiMain in vpivg.dll\n");
        return 1;
    }
#endif
    run.keepTimes = !o.stamps.empty();
    run.target = o.expect > 0 ? static_cast<std::uint64_t>(o.expect) * static_cast<std::uint64_t>(o.vpis) : 0;
    run.tallies = std::vector<VpiTally>(static_cast<std::size_t>(o.vpis));
    if (run.keepTimes) {
        for (VpiTally& t : run.tallies) t.done.reserve(static_cast<std::size_t>(o.expect) + 16);
    }

    zelpro::Reset();
    zelpro::SetLogSink([](int, const std::string&) {});  // the driver's start messages: not here
    zelpro::SetTickMilliseconds(static_cast<unsigned>(o.tick));
    run.role.assign(65535, -1);
    const int lastParameter = vpibench::LastParameter(o.kind);
    for (int v = 0; v < o.vpis; ++v) {
        for (int n = 1; n <= 99; ++n) {
            char address[16];
            std::snprintf(address, sizeof address, "I%.2dP%.2d", vpibench::kStream, n);
            const auto id = zelpro::AddGate(static_cast<unsigned>(v + 1), address, 3);
            if (!id) return 1;
            if (n == 3) run.role[*id] = v * 2;
            if (n == lastParameter) run.role[*id] = v * 2 + 1;
        }
    }
    zelpro::SetGateWriteHook(OnGateWrite);

    DriverInfo info{};
    VpiRequest describe{};
    describe.command = CmdDescribe;
    describe.args = &info;
    VpiMain(&describe);
    const double residentBefore = ResidentKiB();

    const std::int64_t started = NowNs();
    if (!(o.waitOnly ? StartBareWaiters(o.vpis) : StartVpis(o, info.instanceSize))) return 1;
    // Each report thread pauses 4 s after its start before it serves the line.
    const std::int64_t serving = started + (o.waitOnly ? 0 : 4000000000LL);

    double windowCpu = 0;
    double windowSeconds = 0;
    std::uint64_t windowReports = 0;
    double resident = 0;
    bool complete = true;
    if (o.expect > 0) {
        const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(o.timeoutS * 1e9);
        std::uint64_t seen = 0;
        std::int64_t progressAt = NowNs();
        while (run.delivered.load() < run.target) {
            SleepS(0.02);
            const std::uint64_t now = run.delivered.load();
            if (now != seen) {
                seen = now;
                progressAt = NowNs();
            }
            // Lost reports never come: stop once nothing moved for a while.
            const bool stalled = seen > 0 && NowNs() - progressAt > 3000000000LL;
            if (NowNs() > deadline || stalled) {
                complete = false;
                break;
            }
        }
        resident = ResidentKiB();
        const std::int64_t endNs = complete ? run.lastNs.load() : NowNs();
        const double endCpu = complete ? run.lastCpu.load() : CpuSeconds();
        windowSeconds = static_cast<double>(endNs - run.firstNs.load()) / 1e9;
        windowCpu = endCpu - run.firstCpu;
        windowReports = run.delivered.load();
    } else {
        const std::int64_t from = serving + static_cast<std::int64_t>(o.warmupS * 1e9);
        while (NowNs() < from) SleepS(0.01);
        const std::uint64_t reports0 = run.delivered.load();
        const double cpu0 = CpuSeconds();
        const std::int64_t t0 = NowNs();
        SleepS(o.measureS);
        windowReports = run.delivered.load() - reports0;
        windowCpu = CpuSeconds() - cpu0;
        windowSeconds = static_cast<double>(NowNs() - t0) / 1e9;
        resident = ResidentKiB();
    }
    std::uint64_t lost = 0;
    std::uint64_t delivered = 0;
    for (const VpiTally& t : run.tallies) {
        lost += t.lost.load();
        delivered += t.delivered.load();
    }
    if (o.expect > 0) {
        // Reports that never came at the end of a count run are lost too.
        for (const VpiTally& t : run.tallies) {
            if (t.last + 1 < o.expect) lost += static_cast<std::uint64_t>(o.expect - 1 - t.last);
        }
    }

    std::string latency;
    if (run.keepTimes) {
        // The feeder writes its stamps once it has written everything.
        std::vector<Stamp> stamps;
        for (int waited = 0; waited < 300; ++waited) {
            std::ifstream file(o.stamps, std::ios::binary);
            if (file) {
                file.seekg(0, std::ios::end);
                const auto size = static_cast<std::size_t>(file.tellg());
                file.seekg(0);
                stamps.resize(size / sizeof(Stamp));
                file.read(reinterpret_cast<char*>(stamps.data()),
                          static_cast<std::streamsize>(stamps.size() * sizeof(Stamp)));
                break;
            }
            SleepS(0.1);
        }
        std::vector<std::vector<std::int64_t>> written(static_cast<std::size_t>(o.vpis));
        for (auto& w : written) w.assign(static_cast<std::size_t>(o.expect), -1);
        for (const Stamp& s : stamps) {
            if (s.line < written.size() && s.sequence < static_cast<std::uint32_t>(o.expect)) {
                written[s.line][s.sequence] = s.ns;
            }
        }
        std::vector<double> ms;
        for (std::size_t v = 0; v < run.tallies.size(); ++v) {
            for (const auto& [sequence, when] : run.tallies[v].done) {
                if (sequence < written[v].size() && written[v][sequence] >= 0) {
                    ms.push_back(static_cast<double>(when - written[v][sequence]) / 1e6);
                }
            }
        }
        std::sort(ms.begin(), ms.end());
        if (!o.latencyOut.empty()) {
            std::ofstream out(o.latencyOut);
            for (double value : ms) out << value << '\n';
        }
        char text[256];
        std::snprintf(text, sizeof text,
                      ", \"latency_ms\": {\"count\": %zu, \"p50\": %.3f, \"p90\": %.3f, "
                      "\"p99\": %.3f, \"max\": %.3f, \"min\": %.3f}",
                      ms.size(), Percentile(ms, 50), Percentile(ms, 90), Percentile(ms, 99),
                      ms.empty() ? 0.0 : ms.back(), ms.empty() ? 0.0 : ms.front());
        latency = text;
    }

    const double lineBytes = static_cast<double>(vpibench::LineLength(o.kind));
    const double rate = windowSeconds > 0 ? static_cast<double>(windowReports - (o.expect > 0 ? 1 : 0)) / windowSeconds : 0;
    std::printf("{\"vpis\": %d, \"kind\": \"%s\", \"tick_ms\": %d, \"mode\": \"%s\", "
                "\"delivered\": %llu, \"lost\": %llu, \"complete\": %s, "
                "\"window_s\": %.4f, \"window_reports\": %llu, \"cpu_s\": %.4f, "
                "\"reports_per_s\": %.1f, \"bytes_per_s\": %.1f, \"cpu_core_fraction\": %.5f, "
                "\"resident_kib\": %.0f, \"resident_before_kib\": %.0f, "
                "\"resident_per_vpi_kib\": %.1f, \"instance_bytes\": %u%s}\n",
                o.vpis, vpibench::KindName(o.kind), o.tick,
                o.waitOnly ? "wait-only" : o.expect > 0 ? "count" : "window",
                static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(lost),
                complete ? "true" : "false", windowSeconds,
                static_cast<unsigned long long>(windowReports), windowCpu, rate, rate * lineBytes,
                windowSeconds > 0 ? windowCpu / windowSeconds : 0.0, resident, residentBefore,
                (resident - residentBefore) / o.vpis, static_cast<unsigned>(info.instanceSize),
                latency.c_str());
    std::fflush(stdout);
    // The report threads end only when the host stops their clients, and then take a second;
    // a benchmark has no need to wait for that.
    std::_Exit(0);
}
