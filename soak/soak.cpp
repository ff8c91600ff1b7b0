// Fault-injection soak: one VPI on a pseudo-terminal fed by the simulator, driven the way a host
// drives it, while faults are injected at random (seeded) moments. At the end it prints figures
// and checks that every untouched well-formed report reached its gates exactly, that no call
// overran its bound, that threads, descriptors and memory stayed flat, and that "!STATUS"
// followed the line. Exit 0 only when every check holds.
#include <dirent.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <zelpro/zelpro.h>

#include "datapath/datapath.hpp"
#include "frame/frame.hpp"
#include "simcore.hpp"
#include "zelpro/control.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

double Seconds(Clock::time_point t, Clock::time_point origin) {
    return std::chrono::duration<double>(t - origin).count();
}

// ---- resources -------------------------------------------------------------------------------

struct Resources {
    long rssPages = 0;
    int threads = 0;
    int descriptors = 0;
};

int CountEntries(const char* path) {
    int n = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++n;
        }
        closedir(dir);
    }
    return n;
}

Resources Sample() {
    Resources r;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        char text[128] = {};
        if (std::fgets(text, sizeof text, f) != nullptr) {
            char* after = nullptr;
            std::strtol(text, &after, 10);  // total size; the resident size follows
            r.rssPages = std::strtol(after, nullptr, 10);
        }
        std::fclose(f);
    }
    r.threads = CountEntries("/proc/self/task");
    r.descriptors = CountEntries("/proc/self/fd") - 1;  // opendir's own descriptor
    return r;
}

// ---- what happened, with times -----------------------------------------------------------------

struct Window {
    Clock::time_point from, to;
    std::string kind;
};

struct Write {
    Clock::time_point at;
    std::uint32_t gate;
    double value;
};

std::mutex writesMutex;
std::vector<Write> writes;            // from the report thread only
std::thread::id hostThread;

struct Options {
    double seconds = 90;
    std::uint32_t seed = 0;
    bool verbose = false;
};

bool ParseArgs(int argc, char** argv, Options* o) {
    o->seed = static_cast<std::uint32_t>(std::random_device{}());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) {
            o->seconds = std::strtod(argv[++i], nullptr);
        } else if (a == "--seed" && i + 1 < argc) {
            o->seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--verbose") {
            o->verbose = true;
        } else {
            std::fprintf(stderr, "usage: vpivg-soak [--seconds N] [--seed N] [--verbose]\n");
            return false;
        }
    }
    return o->seconds > 0;
}

class Host {
public:
    explicit Host(VpiInstance* instance) : instance_(instance) {}

    std::int32_t Call(VpiCommand command, void* args, double* elapsedMs) {
        VpiRequest request{};
        request.instance = instance_;
        request.command = command;
        request.vpiNumber = 1;
        request.args = args;
        const auto start = Clock::now();
        const std::int32_t result = VpiMain(&request);
        *elapsedMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        return result;
    }

    std::int32_t Read(const char* address, int gateType, GateValue* value, double* elapsedMs) {
        GateAccessArgs args{};
        args.address = address;
        args.gateType = gateType;
        args.valueArea = value;
        return Call(CmdRead, &args, elapsedMs);
    }

private:
    VpiInstance* instance_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseArgs(argc, argv, &options)) return 2;
    std::printf("soak: seed %" PRIu32 ", %.0f s\n", options.seed, options.seconds);
    std::fflush(stdout);
    std::mt19937 random(options.seed);
    hostThread = std::this_thread::get_id();

    // A private working directory (for the init file) and device folder (COM1 -> the pty).
    char dirPattern[] = "/tmp/vpivg-soak-XXXXXX";
    const char* dir = mkdtemp(dirPattern);
    if (dir == nullptr || chdir(dir) != 0) return 2;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 2;
    }
    const std::string slavePath = ttyname(slave);
    if (symlink(slavePath.c_str(), "com1") != 0) return 2;
    setenv("VPIVG_DEVICE_DIR", dir, 1);
    {
        std::ofstream init("vpiVG01.int");
        init << "TIME=60\n";
    }
    constexpr int kStatusWaitMs = 60;
    constexpr int kReadTimeout = 100;  // 1 s
    constexpr int kIntervalMs = 50;
    constexpr int kScanMs = 200;

    zelpro::Reset();
    std::map<std::string, std::uint64_t> logCounts;
    std::mutex logMutex;
    zelpro::SetLogSink([&](int level, const std::string& text) {
        std::lock_guard lock(logMutex);
        logCounts[std::to_string(level) + " " + text.substr(0, 40)]++;
    });
    zelpro::SetGateWriteHook([](std::uint32_t id, double value) {
        if (std::this_thread::get_id() == hostThread) return;  // resets after a failed status
        std::lock_guard lock(writesMutex);
        writes.push_back({Clock::now(), id, value});
    });

    // The gate database: streams 1..3, parameters 1..12, and the two special gates.
    constexpr int kLastParameter = 12;
    std::map<std::uint32_t, std::pair<int, int>> gateOf;  // id -> (stream, parameter)
    char address[16];
    for (int stream = 1; stream <= 3; ++stream) {
        for (int p = 1; p <= kLastParameter; ++p) {
            std::snprintf(address, sizeof address, "I%.2dP%.2d", stream, p);
            const auto id = zelpro::AddGate(1, address, p <= 4 ? 5 : 3);
            if (!id) return 2;
            gateOf[*id] = {stream, p};
        }
    }
    const auto statusId = zelpro::AddGate(1, "!STATUS", 6);
    const auto pollId = zelpro::AddGate(1, "!POLL", 6);
    if (!statusId || !pollId) return 2;

    // Describe, allocate, start, bind.
    DriverInfo info{};
    VpiRequest describe{};
    describe.command = CmdDescribe;
    describe.args = &info;
    VpiMain(&describe);
    std::vector<unsigned char> block(info.instanceSize, 0);
    auto* instance = reinterpret_cast<VpiInstance*>(block.data());
    Host host(instance);
    double elapsed = 0;
    StartArgs start{};
    std::strcpy(start.name, "COM1");
    start.portEnabled = 1;
    start.readTimeout = kReadTimeout;
    start.line = {9600, 8, 0, 0};
    if (host.Call(CmdStart, &start, &elapsed) != 0) {
        std::fprintf(stderr, "soak: start failed\n");
        return 1;
    }
    for (const auto& gate : zelpro::Gates()) {
        GateParseArgs parse{};
        parse.address = gate.address.c_str();
        parse.gateId = static_cast<std::int32_t>(gate.id);
        parse.gateType = gate.gateType;
        if (host.Call(CmdParseAddress, &parse, &elapsed) != 0) {
            std::fprintf(stderr, "soak: %s refused\n", gate.address.c_str());
            return 1;
        }
    }

    // The instrument, with its own faults at random.
    auto line = vpisim::MakeDescriptorLine(master);
    vpisim::SimOptions simOptions;
    simOptions.streams = {1, 2};
    simOptions.lastParameter = kLastParameter;
    simOptions.intervalMs = kIntervalMs;
    simOptions.seed = options.seed;
    simOptions.resyncPauseMs = 1300;
    for (auto kind : {vpisim::Fault::Noise, vpisim::Fault::Cut, vpisim::Fault::Reversed,
                      vpisim::Fault::Malformed, vpisim::Fault::Overlong}) {
        simOptions.faults.push_back({kind, 0, 0.01});
    }
    vpisim::Simulator sim(*line, simOptions);
    std::mutex sendMutex;
    std::vector<std::pair<Clock::time_point, std::uint64_t>> sendTimes;  // after k reports
    sim.SetEventHook([&](const std::string&) {
        std::lock_guard lock(sendMutex);
        const std::uint64_t n = sim.ReportsSent();
        if (sendTimes.empty() || sendTimes.back().second != n) sendTimes.emplace_back(Clock::now(), n);
    });
    const auto origin = Clock::now();
    sim.Start();
    // The report thread starts reading 4 s after the start; until then reports queue up, and a
    // cut or reversed report in that queue runs into the one after it (its resync pause only
    // helps a receiver that is reading). That start-up queue counts as touched.
    std::vector<Window> touched;
    touched.push_back({origin, origin + Ms(6000), "start-up queue"});

    // Bursts come from a second instrument on stream 3 at the line's full rate while the first
    // one pauses, so their reports are told apart by stream.
    std::vector<vpisim::SentReport> burstSent;
    std::vector<Clock::time_point> burstTimes;

    std::map<std::string, int> faultCounts;
    struct Silence {
        Clock::time_point from, to;
        bool fell = false, recovered = false;
    };
    std::vector<Silence> silences;
    int overruns = 0;
    double worstStatusMs = 0, worstOtherMs = 0;
    std::uint64_t statusReads = 0, statusZero = 0;
    const double statusBound = kStatusWaitMs + 250.0, otherBound = 2000.0;
    auto timed = [&](double ms, bool status, const char* what) {
        if (status) worstStatusMs = std::max(worstStatusMs, ms);
        else worstOtherMs = std::max(worstOtherMs, ms);
        if (ms > (status ? statusBound : otherBound)) {
            ++overruns;
            std::fprintf(stderr, "soak: %s took %.1f ms\n", what, ms);
        }
    };

    const auto end = origin + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(options.seconds));
    const double warmUp = std::min(60.0, options.seconds / 3);
    std::optional<Resources> first;
    bool sampledFirst = false;
    auto nextFault = origin + Ms(3000);
    std::uniform_int_distribution<int> faultGap(1500, 5000);
    std::uniform_int_distribution<int> pickFault(0, 7);
    const auto margin = Ms(1500);  // a read timeout and a tick or two around each fault

    while (Clock::now() < end) {
        std::this_thread::sleep_for(Ms(kScanMs));
        const auto now = Clock::now();
        if (!sampledFirst && Seconds(now, origin) >= warmUp) {
            first = Sample();
            sampledFirst = true;
        }
        GateValue value{};
        const std::int32_t statusResult = host.Read("!STATUS", 6, &value, &elapsed);
        timed(elapsed, true, "!STATUS read");
        ++statusReads;
        const bool up = statusResult == 0 && value.digitalState != 0;
        if (!up) ++statusZero;
        for (Silence& s : silences) {
            if (now > s.from + Ms(kIntervalMs * 3 + 100) && now <= s.to && !up) s.fell = true;
            if (now > s.to + Ms(1000) && now < s.to + Ms(4000) && up) s.recovered = true;
        }
        GateValue ordinary{};
        host.Read("I01P05", 3, &ordinary, &elapsed);
        timed(elapsed, false, "ordinary read");

        if (now < nextFault || now + Ms(4000) > end) continue;
        nextFault = now + Ms(faultGap(random));
        const int kind = pickFault(random);
        Window w{now - margin, now, ""};
        switch (kind) {
            case 0: {
                std::uniform_int_distribution<int> length(300, 1500);
                const int ms = length(random);
                sim.InjectSilence(ms);
                silences.push_back({now, now + Ms(ms)});
                w.kind = "silence";
                w.to = now + Ms(ms);
                break;
            }
            case 1: {
                host.Call(CmdClosePort, nullptr, &elapsed);
                timed(elapsed, false, "CmdClosePort");
                std::this_thread::sleep_for(Ms(200));
                host.Call(CmdOpenPort, nullptr, &elapsed);
                timed(elapsed, false, "CmdOpenPort");
                w.kind = "close/reopen port";
                w.to = Clock::now();
                break;
            }
            case 2: {
                SetPortArgs set{};
                std::strcpy(set.name, "COM1");
                set.readTimeout = kReadTimeout;
                set.line = {9600, 8, 0, 0};
                host.Call(CmdSetPort, &set, &elapsed);
                timed(elapsed, false, "CmdSetPort");
                w.kind = "set port";
                w.to = Clock::now();
                break;
            }
            case 3:
                host.Call(CmdWarmStart, nullptr, &elapsed);
                timed(elapsed, false, "CmdWarmStart");
                w.kind = "warm start";
                w.to = Clock::now();
                break;
            case 4:
                zelpro::InjectFault(zelpro::Fault::Lookup, 3);
                w.kind = "lookup failure";
                w.to = now + Ms(1000);
                break;
            case 5:
                zelpro::InjectFault(zelpro::Fault::PutValue, 3);
                w.kind = "write failure";
                w.to = now + Ms(1000);
                break;
            case 6: {
                GateValue poll{};
                host.Read("!POLL", 6, &poll, &elapsed);
                timed(elapsed, false, "!POLL read");
                w.kind = "poll";
                w.to = Clock::now();
                break;
            }
            default: {
                // Wait out a cut or reversed report the first instrument may just have sent:
                // the receiver must give it up before the burst, or they run together.
                sim.SetPaused(true);
                std::this_thread::sleep_for(Ms(1500));
                vpisim::SimOptions burstOptions = simOptions;
                burstOptions.streams = {3};
                burstOptions.intervalMs = 0;
                burstOptions.faults.clear();
                burstOptions.maxReports = 40;
                burstOptions.answerPolls = false;
                burstOptions.seed = static_cast<std::uint32_t>(random());
                vpisim::Simulator burst(*line, burstOptions);
                std::atomic<bool> stop{false};
                const auto burstStart = Clock::now();
                burst.Run(stop);
                for (const auto& r : burst.Sent()) {
                    burstSent.push_back(r);
                    burstTimes.push_back(burstStart);
                }
                // Let the driver work through the queue (one report per tick) before going on.
                std::this_thread::sleep_for(Ms(40 * 25 + 500));
                sim.SetPaused(false);
                w.kind = "burst";
                w.from = w.to = Clock::now();  // a burst touches nothing: its reports must all arrive
                break;
            }
        }
        faultCounts[w.kind]++;
        if (w.kind != "burst" && w.kind != "poll") {
            w.to += margin;
            touched.push_back(w);
        }
    }
    const Resources last = Sample();
    sim.Stop();
    std::this_thread::sleep_for(Ms(1500));  // the last reports reach the gates

    // ---- figures ------------------------------------------------------------------------------
    std::vector<Write> seen;
    {
        std::lock_guard lock(writesMutex);
        seen = writes;
    }
    // Writes grouped per report: a group starts at a P01 write of a stream.
    struct Group {
        int stream;
        std::map<int, double> values;
    };
    std::vector<Group> groups;
    // A report's writes come in ascending parameter order, so a parameter at or below the last
    // one written also starts a new group (the P01 write itself may have been failed on purpose).
    std::map<int, std::size_t> open;  // stream -> index of its current group
    std::map<int, int> lastParameter;
    for (const Write& w : seen) {
        const auto it = gateOf.find(w.gate);
        if (it == gateOf.end()) continue;
        const auto [stream, p] = it->second;
        const bool restart = lastParameter.count(stream) != 0 && p <= lastParameter[stream];
        lastParameter[stream] = p;
        if (p == 1 || restart || open.find(stream) == open.end()) {
            groups.push_back({stream, {}});
            open[stream] = groups.size() - 1;
        }
        groups[open[stream]].values[p] = w.value;
    }
    // Each group is found by its stream and the "03" field, which is unique per report.
    std::map<std::pair<int, std::uint32_t>, std::vector<std::size_t>> byKey;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const auto v03 = groups[g].values.find(3);
        if (v03 != groups[g].values.end()) {
            byKey[{groups[g].stream, static_cast<std::uint32_t>(v03->second)}].push_back(g);
        }
    }
    auto expectedValues = [&](const vpisim::SentReport& r) {
        std::map<int, double> v;
        v[1] = r.value01;
        v[2] = r.value02;
        v[3] = static_cast<double>(static_cast<std::uint32_t>(r.value03));
        v[4] = r.stream;
        for (const auto& [p, text] : r.parameters) {
            const float f = static_cast<float>(std::strtod(text.c_str(), nullptr));
            if (f != 0.0f) v[p] = static_cast<double>(f);
        }
        return v;
    };
    auto sendTime = [&](std::uint64_t sequence) {
        std::lock_guard lock(sendMutex);
        const auto it = std::lower_bound(
            sendTimes.begin(), sendTimes.end(), sequence,
            [](const auto& entry, std::uint64_t s) { return entry.second < s; });
        return it == sendTimes.end() ? Clock::now() : it->first;
    };
    auto isTouched = [&](Clock::time_point t) {
        for (const Window& w : touched) {
            if (t >= w.from && t <= w.to) return true;
        }
        return false;
    };

    std::uint64_t sent = 0, wellFormed = 0, untouched = 0, exact = 0, lost = 0, wrong = 0;
    std::uint64_t deliveredTouched = 0;
    auto account = [&](const vpisim::SentReport& r, bool touchedReport) {
        ++sent;
        if (!r.Intact() || r.polled) {
            // Polled reports come at a moment the host chose; count them but don't require them.
            if (r.Intact()) ++wellFormed;
            return;
        }
        ++wellFormed;
        const auto want = expectedValues(r);
        const auto it = byKey.find({r.stream, static_cast<std::uint32_t>(r.value03)});
        bool found = false, matched = false;
        if (it != byKey.end()) {
            for (std::size_t g : it->second) {
                found = true;
                if (groups[g].values == want) matched = true;
            }
        }
        if (touchedReport) {
            if (found) ++deliveredTouched;
            return;
        }
        ++untouched;
        if (matched) {
            ++exact;
        } else if (found) {
            ++wrong;
            std::fprintf(stderr, "soak: wrong values: %s; written:", r.LogLine().c_str());
            for (std::size_t g : it->second) {
                for (const auto& [p, v] : groups[g].values) std::fprintf(stderr, " %d=%.9g", p, v);
                std::fprintf(stderr, " |");
            }
            std::fprintf(stderr, "\n");
        } else {
            ++lost;
            std::fprintf(stderr, "soak: lost: %s\n", r.LogLine().c_str());
        }
    };
    const auto mainSent = sim.Sent();
    const auto windowEnd = end - Ms(2000);
    for (const auto& r : mainSent) {
        const auto t = sendTime(r.sequence);
        if (t > windowEnd) continue;  // still in flight when the run ended
        account(r, isTouched(t));
    }
    for (std::size_t i = 0; i < burstSent.size(); ++i) account(burstSent[i], isTouched(burstTimes[i]));

    int silencesChecked = 0, statusFell = 0, statusRecovered = 0;
    for (const Silence& s : silences) {
        if (s.to - s.from < Ms(kIntervalMs * 3 + 100 + kScanMs * 2)) continue;  // too short to see
        ++silencesChecked;
        statusFell += s.fell ? 1 : 0;
        statusRecovered += s.recovered ? 1 : 0;
    }

    const Resources base = first.value_or(last);
    const long rssDrift = last.rssPages - base.rssPages;
    // The harness itself keeps every sent report and gate write in memory (about 1.5 KiB per
    // report); the driver allocates nothing. Allow that plus 256 pages of allocator slack.
    const long rssAllowance = 256 + static_cast<long>(sent * 1536 / 4096);
    const int threadDrift = last.threads - base.threads;
    const int fdDrift = last.descriptors - base.descriptors;

    std::printf("soak: ran %.0f s, seed %" PRIu32 "\n", Seconds(Clock::now(), origin), options.seed);
    std::printf("reports sent            %" PRIu64 " (%zu of them in bursts)\n", sent,
                burstSent.size());
    std::printf("well-formed             %" PRIu64 "\n", wellFormed);
    std::printf("untouched well-formed   %" PRIu64 "\n", untouched);
    std::printf("delivered exactly       %" PRIu64 "\n", exact);
    std::printf("delivered, wrong values %" PRIu64 "\n", wrong);
    std::printf("lost                    %" PRIu64 "\n", lost);
    std::printf("touched, delivered      %" PRIu64 "\n", deliveredTouched);
    std::printf("faults injected by the host side:\n");
    for (const auto& [kind, count] : faultCounts) std::printf("  %-20s %d\n", kind.c_str(), count);
    std::map<std::string, int> simFaults;
    for (const auto& r : mainSent) {
        if (r.fault != vpisim::Fault::None) simFaults[vpisim::FaultName(r.fault)]++;
    }
    std::printf("faults injected on the line:\n");
    for (const auto& [kind, count] : simFaults) std::printf("  %-20s %d\n", kind.c_str(), count);
    std::printf("!STATUS reads           %" PRIu64 " (%" PRIu64 " read 0)\n", statusReads, statusZero);
    std::printf("silences checked        %d: fell %d, recovered %d\n", silencesChecked, statusFell,
                statusRecovered);
    std::printf("worst !STATUS call      %.1f ms (bound %.0f)\n", worstStatusMs, statusBound);
    std::printf("worst other call        %.1f ms (bound %.0f)\n", worstOtherMs, otherBound);
    std::printf("threads                 %d -> %d (drift %d)\n", base.threads, last.threads, threadDrift);
    std::printf("descriptors             %d -> %d (drift %d)\n", base.descriptors, last.descriptors,
                fdDrift);
    std::printf("RSS pages               %ld -> %ld (drift %ld, allowance %ld)\n", base.rssPages,
                last.rssPages, rssDrift, rssAllowance);

    bool ok = true;
    auto check = [&](bool holds, const char* what) {
        if (!holds) {
            std::printf("FAILED: %s\n", what);
            ok = false;
        }
    };
    check(lost == 0, "every untouched well-formed report reached its gates");
    check(wrong == 0, "every delivered report carried exactly the values sent");
    check(exact > 0, "reports were delivered at all");
    check(overruns == 0, "every call returned within its bound");
    check(threadDrift == 0, "thread count flat");
    check(fdDrift == 0, "descriptor count flat");
    check(rssDrift <= rssAllowance, "resident memory flat");
    check(statusFell == silencesChecked, "!STATUS read 0 during every silence");
    check(statusRecovered == silencesChecked, "!STATUS read 1 again after every silence");
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    std::fflush(stdout);
    // The VPI's thread blocks in the runtime until told to stop; stopping it and leaving is all
    // the host does at the end.
    zelpro::StopAllClients();
    std::this_thread::sleep_for(Ms(1300));
    close(slave);
    return ok ? 0 : 1;
}
