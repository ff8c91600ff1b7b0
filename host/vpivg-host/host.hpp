// vpivg-host: plays the SCADA host for the driver. Loads it, describes it, starts the VPIs of
// the configuration, binds and scans their gates, polls, recovers silent lines, shows the
// values live and records them, and stops the VPIs the way the host does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "config.hpp"
#include "csvrecord.hpp"
#include "driverlib.hpp"
#include "eventlog.hpp"
#include "reports.hpp"
#include <vpivg/vpivg.h>

namespace vpihost {

struct RunHooks {
    std::function<void()> started;                     // all VPIs are up
    std::function<void(double elapsedS)> tick;         // every pass of the main loop
    std::function<void()> stopping;                    // the run is over; VPIs still serve
};

// Set by the program's signal handler when the terminal changed its size.
extern std::atomic<bool> terminalResized;
// True once a run found standard output failing and said so (the program's exit need not).
bool StdoutFailureReported();

class Host {
public:
    // `out`: the live view or the plain lines; `err`: what went wrong, for a person to act on.
    Host(HostConfig config, std::ostream& out, std::ostream& err);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Runs until `stop` is set or the duration has passed. Returns the exit code: 0, or 1 when
    // the driver cannot be loaded, a VPI's port never opened, or an output could not be written.
    int Run(std::atomic<bool>& stop, const RunHooks& hooks = {});

    // A line of the host's own into the log (pane, plain output, log file). Any thread.
    void Log(const std::string& text);

    // Counters a caller (demo, tests) may look at while running or afterwards.
    struct VpiCounters {
        std::uint64_t packets = 0;
        std::uint64_t recoveryTries = 0;
        std::uint64_t polls = 0;
        int link = -1;  // last "!STATUS": -1 not read yet, 0 failed, 1 up
    };
    VpiCounters Counters(int vpiNumber) const;

    // A sink of the reports and link changes besides those the settings make (tests). Before Run.
    void AddSink(std::unique_ptr<ReportSink> sink) { sinks_.push_back(std::move(sink)); }
    // The devices a gateway announces: each VPI with the gates its settings bind.
    std::vector<gateway::Device> Devices() const;

    // Whether a driver thread was still running when the host gave up waiting for it: the
    // program must then leave without running destructors the thread could still reach.
    bool ThreadsLeftRunning() const { return threadsLeftRunning_; }

private:
    struct BoundGate {
        std::string address;
        std::uint32_t id = 0;
        int type = 0;
        int stream = 0;
        int param = 0;
        bool accepted = false;
        bool shown = true;         // false: bound by the host for itself (report counting)
        bool haveValue = false;
        double value = 0;
    };
    // One VPI of the run. Three kinds of field, by who may touch them:
    // - the scan thread's (the thread in Run, which scans, polls, recovers, draws and stops):
    //   read and written there without the lock;
    // - set by the scan thread before the VPI's gates are indexed and fixed from then on, so
    //   the gate-write hook may read them without the lock: config, the gates' address, type
    //   and shown;
    // - shared with the gate-write hook, which runs on the driver's threads, or with Counters():
    //   read and written only under mutex_.
    struct Vpi {
        // Fixed once the gates are indexed (the hook reads config.number).
        VpiConfig config;
        // The scan thread's.
        VpiInstance* block = nullptr;
        std::string clientName;
        bool started = false;      // CmdStart returned 0 (the driver's thread runs)
        bool portFailed = false;   // CmdStart returned 2: nothing of it exists in the driver
        bool everOpened = false;
        // The vector and each gate's address, type and shown are fixed once indexed (the hook
        // reads them); haveValue and value are the scan thread's.
        std::vector<BoundGate> gates;
        std::string statusAddress = "!STATUS";
        std::string pollAddress = "!POLL";
        bool statusBound = false;
        bool pollBound = false;
        int failedScans = 0;
        int backoffS = 1;
        // "!STATUS" flapping while reports arrive: counted to advise once.
        int flaps = 0;
        std::uint64_t packetsAtLastDown = 0;
        bool advised = false;
        int statusWaitMs = 60;     // what the driver's "!STATUS" reads wait, from its init file
        std::chrono::steady_clock::time_point startedAt{};
        std::chrono::steady_clock::time_point nextRecovery{};
        // Written by the scan thread under mutex_, read by Counters() under it; the scan thread
        // may read them without it.
        int link = -1;
        std::uint64_t tries = 0;
        std::uint64_t polls = 0;
        // Written by the driver's threads through the gate-write hook, read by the scan thread
        // and Counters(): under mutex_ always.
        std::uint64_t packets = 0;
        std::chrono::steady_clock::time_point firstReport{};
        std::chrono::steady_clock::time_point lastReport{};
        bool anyReport = false;
    };
    struct GateRef {
        std::size_t vpi;
        std::size_t gate;
        bool streamGate;  // P04: one write per accepted report
    };

    std::int32_t Call(Vpi* vpi, VpiCommand command, void* args);
    bool StartVpi(Vpi& vpi, const DriverInfo& info);
    void BindGates(Vpi& vpi);
    void IndexGates(std::size_t index);
    void ScanVpi(Vpi& vpi);
    void PollVpi(Vpi& vpi);
    void Recover(Vpi& vpi, bool statusOk);
    void AdviseOnFlapping(Vpi& vpi);
    void StopAll(bool quick);
    void WriteInitFiles();
    void OnGateWrite(std::uint32_t id, double value);
    void OnClientWait();
    void Deliver(const gateway::Report& report);
    void PollRequested();
    void PrintPlainChanges(Vpi& vpi, const std::vector<std::size_t>& changed);
    void FlushOutputs();
    void Fail(const std::string& text);  // to the error stream and the log; exit status 1
    // After a write to `out_`: a failed one is said once; a closed pipe also ends the run.
    void CheckOutput();

    // The live view (screen.cpp).
    std::vector<std::string> ScreenRows(int rows, int columns, bool final);
    void Draw(bool final);

    HostConfig config_;
    std::ostream& out_;
    std::ostream& err_;
    bool ansi_ = false;
    bool utf8_ = false;
    VpiMainFunction vpiMain_ = nullptr;
    std::string banner_;
    std::string driverName_;
    std::vector<Vpi> vpis_;
    std::chrono::steady_clock::time_point runStart_{};
    bool failed_ = false;
    bool outputFailed_ = false;
    bool outputGone_ = false;  // standard output is a pipe nobody reads any more
    bool threadsLeftRunning_ = false;
    EventLog events_;
    CsvRecord csv_;
    std::vector<std::string> pendingPlain_;  // value lines of the plain output (main thread)
    ReportAssembler reports_;
    // Set up before the hooks and kept until after them: the driver's threads read it unlocked.
    std::vector<std::unique_ptr<ReportSink>> sinks_;

    // The maps below, and the Vpi fields shared with the gate-write hook and Counters(). vpis_
    // is filled before the hook is set and never resized after, so the hook may index it.
    mutable std::mutex mutex_;
    std::unordered_map<std::uint32_t, GateRef> gateRefs_;
    std::unordered_map<std::uint32_t, double> lastWritten_;
};

// The demo's own settings, which its flags change like any others: a scan a second, a poll
// every 9 s, recovery after 2 silent scans, 30 s long.
HostConfig DemoSettings();

// The demo: a pseudo-terminal pair, the simulator on one end, the driver on the other. It
// takes `settings` as they are; a relative driver path is taken from the folder it was given in.
int RunDemo(const HostConfig& settings, std::atomic<bool>& stop, std::ostream& out,
            std::ostream& err);

}  // namespace vpihost
