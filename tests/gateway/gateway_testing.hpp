// Reading what the protocols produce the way a consumer would: Sparkplug payloads through the
// protobuf-c code generated from the schema (not through the gateway's own decoder), JSON
// through nlohmann.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol.hpp"
#include "sparkplug_b.pb-c.h"

namespace gatewaytest {

struct FreePayload {
    void operator()(SparkplugB__Payload* payload) const {
        sparkplug_b__payload__free_unpacked(payload, nullptr);
    }
};
using Unpacked = std::unique_ptr<SparkplugB__Payload, FreePayload>;

inline Unpacked Unpack(const std::string& bytes) {
    return Unpacked(sparkplug_b__payload__unpack(
        nullptr, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data())));
}

inline Unpacked Unpack(const gateway::OutMessage& message) {
    Unpacked payload = Unpack(message.payload);
    EXPECT_NE(payload, nullptr) << "not a Sparkplug payload on " << message.topic;
    return payload;
}

// The metric of that name, or null.
inline const SparkplugB__Metric* FindMetric(const SparkplugB__Payload& payload,
                                            const std::string& name) {
    for (std::size_t i = 0; i < payload.n_metrics; ++i) {
        if (payload.metrics[i]->name != nullptr && name == payload.metrics[i]->name) {
            return payload.metrics[i];
        }
    }
    return nullptr;
}

inline std::vector<std::string> MetricNames(const SparkplugB__Payload& payload) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < payload.n_metrics; ++i) {
        names.emplace_back(payload.metrics[i]->name != nullptr ? payload.metrics[i]->name : "");
    }
    return names;
}

inline std::vector<std::string> Topics(const std::vector<gateway::OutMessage>& messages) {
    std::vector<std::string> topics;
    for (const gateway::OutMessage& message : messages) {
        topics.push_back(message.topic);
    }
    return topics;
}

// A Sparkplug command payload as a host application sends it: one Boolean metric.
inline std::string BooleanCommand(const std::string& name, bool value,
                                  std::uint32_t datatype = SPARKPLUG_B__DATA_TYPE__Boolean) {
    SparkplugB__Metric metric;
    sparkplug_b__metric__init(&metric);
    metric.name = const_cast<char*>(name.c_str());
    metric.has_datatype = true;
    metric.datatype = datatype;
    metric.value_case = SPARKPLUG_B__METRIC__VALUE_BOOLEAN_VALUE;
    metric.boolean_value = value;
    SparkplugB__Metric* metrics[] = {&metric};
    SparkplugB__Payload payload;
    sparkplug_b__payload__init(&payload);
    payload.has_timestamp = true;
    payload.timestamp = 1765000000000;
    payload.n_metrics = 1;
    payload.metrics = metrics;
    std::string bytes(sparkplug_b__payload__get_packed_size(&payload), '\0');
    sparkplug_b__payload__pack(&payload, reinterpret_cast<std::uint8_t*>(bytes.data()));
    return bytes;
}

}  // namespace gatewaytest
