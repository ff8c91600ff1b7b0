// Sparkplug B payloads as plain values, and their protobuf form through the code protoc-c
// generates from sparkplug_b.proto: the protocol builds and reads these, never the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "report.hpp"

namespace gateway::sparkplug {

// The datatype codes this gateway uses (the Metric.datatype field).
enum DataType : std::uint32_t {
    kInt32 = 3,
    kInt64 = 4,
    kDouble = 10,
    kBoolean = 11,
    kString = 12,
};

// Which field carries a metric's value: int_value (uint32: Int8..Int32 as two's-complement
// bits, UInt8..UInt32), long_value (uint64: Int64 likewise, UInt64, DateTime), double_value,
// boolean_value, string_value. None: the metric is null or has a value kind we do not read.
using MetricValue =
    std::variant<std::monostate, std::uint32_t, std::uint64_t, double, bool, std::string>;

struct Metric {
    std::string name;
    std::optional<std::uint32_t> datatype;
    std::optional<EpochMs> timestampMs;
    bool historical = false;
    bool isNull = false;
    MetricValue value;
};

struct Payload {
    std::optional<EpochMs> timestampMs;
    std::optional<std::uint64_t> seq;
    std::vector<Metric> metrics;
};

// Metrics of the types the gateway publishes; signed values travel as their two's-complement
// bits.
Metric Int32Metric(std::string name, std::int32_t value);
Metric Int64Metric(std::string name, std::int64_t value);
Metric DoubleMetric(std::string name, double value);
Metric BooleanMetric(std::string name, bool value);
Metric StringMetric(std::string name, std::string value);
// A metric of `datatype` whose value is not known.
Metric NullMetric(std::string name, std::uint32_t datatype);

std::string Encode(const Payload& payload);
// nullopt: the bytes are not a Sparkplug payload.
std::optional<Payload> Decode(std::string_view bytes);

}  // namespace gateway::sparkplug
