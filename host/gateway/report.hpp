// What the gateway carries: one accepted report of one VPI, as the host saw the driver write it
// into its gates, and the layout of the gates each VPI has bound.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gateway {

// Milliseconds since the epoch, UTC: what MQTT consumers and Sparkplug timestamps use.
using EpochMs = std::int64_t;

struct ReportValue {
    int param = 0;       // 1..99: P01..P04 are the fixed fields (integers), P05..P99 parameters
    double value = 0;
    EpochMs timeMs = 0;  // when the host saw the driver write this gate
};

struct Report {
    int vpi = 0;
    int stream = 0;
    EpochMs timeMs = 0;  // acquisition time: the first gate write of the report
    std::vector<ReportValue> values;  // only the gates this report wrote, in the driver's order
    bool historical = false;          // sent late, from a store, after an outage
};

struct BoundGate {
    int stream = 0;
    int param = 0;
};

// One VPI as the broker sees it: a device with a name and the gates the host bound for it.
struct Device {
    int vpi = 0;
    std::string name;              // device id: the VPI's `name`, default "VPI<number>"
    std::vector<BoundGate> gates;  // every metric the device can ever publish
};

}  // namespace gateway
