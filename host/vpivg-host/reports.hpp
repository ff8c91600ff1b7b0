// What leaves the host: the reports the driver wrote into the gates, whole, and the link changes
// the scan sees. The host hands both to its sinks (the MQTT link, ...), none of which knows the
// others or the gate database.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "report.hpp"

namespace vpihost {

// Wall-clock milliseconds since the epoch, UTC: the times a report's values carry.
gateway::EpochMs NowEpochMs();

class ReportSink {
public:
    virtual ~ReportSink() = default;
    // On a driver's thread, as its report ends: keep it short, never block.
    virtual void OnReport(const gateway::Report& report) = 0;
    // On the host's scan thread, when "!STATUS" changes.
    virtual void OnLink(int vpi, bool up, gateway::EpochMs now) = 0;
    // VPIs whose "!POLL" the sink asks the host to read (taken on the scan thread).
    virtual std::vector<int> TakePolls() { return {}; }
    // One line for the live view and the stop summary; empty: nothing to show.
    virtual std::string StatusLine() const { return {}; }
    // The run is over: finish what is under way (bounded in time).
    virtual void Stop() {}
};

// Gathers one report's gate writes per driver thread. The driver writes I<nn>P01..P04, then each
// nonzero parameter of the report, and then waits for its next message: the wait (or a write
// that cannot belong to the report under way) ends the report. A report whose stream gate P04
// was not written, or was written 0, is no report: the driver's reset after a link loss writes 0
// into every gate, and P04 carries the stream number, never 0.
class ReportAssembler {
public:
    // A driver's write into a gate of (vpi, stream, param). `published`: the gate is one the
    // plant configured (the host's own stream gate only tells where a report is). Returns the
    // report this write ended, if it started the next one.
    std::optional<gateway::Report> OnWrite(int vpi, int stream, int param, bool published,
                                           double value, gateway::EpochMs now);
    // The calling driver thread waits for its next message: its report, if any, is whole.
    std::optional<gateway::Report> OnWait();

private:
    struct Pending {
        gateway::Report report;
        bool streamGateValid = false;
        std::vector<bool> seen = std::vector<bool>(100, false);
    };
    static std::optional<gateway::Report> Close(Pending& pending);

    std::mutex mutex_;
    std::map<std::thread::id, Pending> pending_;
};

}  // namespace vpihost
