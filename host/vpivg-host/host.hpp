// vpivg-host: plays the SCADA host for the driver. Loads it, describes it, starts the VPIs of
// the configuration, binds and scans their gates, polls, recovers silent lines, shows the
// values live and records them, and stops the VPIs the way the host does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include <vpivg/vpivg.h>

#include "config.hpp"

namespace vpihost {

#if defined(_WIN32)
using VpiMainFunction = std::int32_t(__stdcall*)(VpiRequest*);
#else
using VpiMainFunction = std::int32_t (*)(VpiRequest*);
#endif

// The folder the running program lives in ("" when it cannot be told).
std::string ProgramFolder();
// Loads the driver (libvpivg.so / vpivg.dll) and finds VpiMain. `path` empty: next to the
// program. The library stays loaded for the life of the process: its threads may outlive a run.
VpiMainFunction LoadDriver(const std::string& path, std::string* why);

// The driver the host loads when no --driver is given: the one next to the program, else the
// one where the packages put it (beside the tools' folder in the Windows zip, the library folder
// of the Linux package, relative to the program, so an unpacked package runs where it lies).
std::string DefaultDriverPath();

// The describe banner is code page 437; a UTF-8 terminal needs its box and shade characters
// translated. Other bytes below 0x80 pass unchanged.
std::string Cp437ToUtf8(std::string_view text);
bool StdoutIsTerminal();
bool TextIsUtf8();

// "2024-05-01T12:34:56.789Z"
std::string IsoTimestamp(std::chrono::system_clock::time_point when);
// A gate value as the CSV and the screen show it: integers whole, reals as the shortest text
// that reads back as the same single-precision value.
std::string FormatGateValue(double value, int gateType);

struct RunHooks {
    std::function<void()> started;                     // all VPIs are up
    std::function<void(double elapsedS)> tick;         // every pass of the main loop
    std::function<void()> stopping;                    // the run is over; VPIs still serve
};

class Host {
public:
    Host(HostConfig config, HostOptions options, std::ostream& out);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Runs until `stop` is set or the duration has passed. Returns the exit code: 0, or 1 when
    // the driver cannot be loaded or no VPI could be started.
    int Run(std::atomic<bool>& stop, const RunHooks& hooks = {});

    // A line of the host's own into the log pane (or the plain output). Any thread.
    void Log(const std::string& text);

    // Counters a caller (demo, tests) may look at while running or afterwards.
    struct VpiCounters {
        std::uint64_t packets = 0;
        std::uint64_t recoveryTries = 0;
        std::uint64_t polls = 0;
        int link = -1;  // last "!STATUS": -1 not read yet, 0 failed, 1 up
    };
    VpiCounters Counters(int vpiNumber) const;

private:
    struct BoundGate {
        std::string address;
        std::uint32_t id = 0;
        int type = 0;
        int stream = 0;
        int param = 0;
        bool accepted = false;
        bool haveValue = false;
        double value = 0;
    };
    struct Vpi {
        VpiConfig config;
        VpiInstance* block = nullptr;
        std::string clientName;
        bool started = false;      // CmdStart returned 0 (the driver's thread runs)
        bool portFailed = false;   // CmdStart returned 2: nothing of it exists in the driver
        std::vector<BoundGate> gates;
        std::string statusAddress = "!STATUS";
        std::string pollAddress = "!POLL";
        bool statusBound = false;
        bool pollBound = false;
        int link = -1;
        int failedScans = 0;
        int backoffS = 1;
        std::uint64_t tries = 0;
        std::uint64_t polls = 0;
        std::chrono::steady_clock::time_point startedAt{};
        std::chrono::steady_clock::time_point nextRecovery{};
        // Written by the driver's threads through the gate write hook (under mutex_).
        std::uint64_t packets = 0;
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
    void ScanVpi(Vpi& vpi);
    void PollVpi(Vpi& vpi);
    void Recover(Vpi& vpi, bool statusOk);
    void StopAll();
    void OnGateWrite(std::uint32_t id, double value);
    void OnDriverLog(int level, const std::string& text);
    void Emit(const std::string& line);  // log pane and plain output
    void Draw(bool final);
    void PrintPlainChanges(Vpi& vpi, const std::vector<std::size_t>& changed);

    HostConfig config_;
    HostOptions options_;
    std::ostream& out_;
    bool ansi_ = false;
    bool utf8_ = false;
    VpiMainFunction vpiMain_ = nullptr;
    std::string banner_;
    std::string driverName_;
    std::vector<Vpi> vpis_;
    std::chrono::steady_clock::time_point runStart_{};

    mutable std::mutex mutex_;  // everything below, and the packet fields of Vpi
    std::unordered_map<std::uint32_t, GateRef> gateRefs_;
    std::deque<std::string> logLines_;
    std::vector<std::string> pendingPlain_;
    std::ofstream csv_;
    std::unordered_map<std::uint32_t, double> lastWritten_;
};

// The demo: a pseudo-terminal pair, the simulator on one end, the driver on the other.
int RunDemo(const HostOptions& options, std::atomic<bool>& stop, std::ostream& out);

}  // namespace vpihost
