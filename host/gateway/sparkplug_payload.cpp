#include "sparkplug_payload.hpp"

#include <memory>
#include <type_traits>

#include "sparkplug_b.pb-c.h"

namespace gateway::sparkplug {
namespace {

Metric Valued(std::string name, std::uint32_t datatype, MetricValue value) {
    Metric metric;
    metric.name = std::move(name);
    metric.datatype = datatype;
    metric.value = std::move(value);
    return metric;
}

// protobuf-c takes char* for strings it only reads while packing.
char* Text(const std::string& text) { return const_cast<char*>(text.c_str()); }

void ToWire(const Metric& metric, SparkplugB__Metric* wire) {
    sparkplug_b__metric__init(wire);
    wire->name = Text(metric.name);
    if (metric.datatype) {
        wire->has_datatype = true;
        wire->datatype = *metric.datatype;
    }
    if (metric.timestampMs) {
        wire->has_timestamp = true;
        wire->timestamp = static_cast<std::uint64_t>(*metric.timestampMs);
    }
    if (metric.historical) {
        wire->has_is_historical = true;
        wire->is_historical = true;
    }
    if (metric.isNull) {
        wire->has_is_null = true;
        wire->is_null = true;
        return;
    }
    std::visit(
        [wire](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::uint32_t>) {
                wire->value_case = SPARKPLUG_B__METRIC__VALUE_INT_VALUE;
                wire->int_value = value;
            } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                wire->value_case = SPARKPLUG_B__METRIC__VALUE_LONG_VALUE;
                wire->long_value = value;
            } else if constexpr (std::is_same_v<T, double>) {
                wire->value_case = SPARKPLUG_B__METRIC__VALUE_DOUBLE_VALUE;
                wire->double_value = value;
            } else if constexpr (std::is_same_v<T, bool>) {
                wire->value_case = SPARKPLUG_B__METRIC__VALUE_BOOLEAN_VALUE;
                wire->boolean_value = value;
            } else if constexpr (std::is_same_v<T, std::string>) {
                wire->value_case = SPARKPLUG_B__METRIC__VALUE_STRING_VALUE;
                wire->string_value = Text(value);
            }
        },
        metric.value);
}

Metric FromWire(const SparkplugB__Metric& wire) {
    Metric metric;
    if (wire.name != nullptr) {
        metric.name = wire.name;
    }
    if (wire.has_datatype) {
        metric.datatype = wire.datatype;
    }
    if (wire.has_timestamp) {
        metric.timestampMs = static_cast<EpochMs>(wire.timestamp);
    }
    metric.historical = wire.has_is_historical && wire.is_historical;
    metric.isNull = wire.has_is_null && wire.is_null;
    switch (wire.value_case) {
    case SPARKPLUG_B__METRIC__VALUE_INT_VALUE: metric.value = wire.int_value; break;
    case SPARKPLUG_B__METRIC__VALUE_LONG_VALUE: metric.value = wire.long_value; break;
    case SPARKPLUG_B__METRIC__VALUE_DOUBLE_VALUE: metric.value = wire.double_value; break;
    case SPARKPLUG_B__METRIC__VALUE_BOOLEAN_VALUE:
        metric.value = static_cast<bool>(wire.boolean_value);
        break;
    case SPARKPLUG_B__METRIC__VALUE_STRING_VALUE:
        if (wire.string_value != nullptr) {
            metric.value = std::string(wire.string_value);
        }
        break;
    default: break;
    }
    return metric;
}

}  // namespace

Metric Int32Metric(std::string name, std::int32_t value) {
    return Valued(std::move(name), kInt32, static_cast<std::uint32_t>(value));
}

Metric Int64Metric(std::string name, std::int64_t value) {
    return Valued(std::move(name), kInt64, static_cast<std::uint64_t>(value));
}

Metric DoubleMetric(std::string name, double value) {
    return Valued(std::move(name), kDouble, value);
}

Metric BooleanMetric(std::string name, bool value) {
    return Valued(std::move(name), kBoolean, value);
}

Metric StringMetric(std::string name, std::string value) {
    return Valued(std::move(name), kString, std::move(value));
}

Metric NullMetric(std::string name, std::uint32_t datatype) {
    Metric metric;
    metric.name = std::move(name);
    metric.datatype = datatype;
    metric.isNull = true;
    return metric;
}

std::string Encode(const Payload& payload) {
    std::vector<SparkplugB__Metric> metrics(payload.metrics.size());
    std::vector<SparkplugB__Metric*> pointers;
    pointers.reserve(metrics.size());
    for (std::size_t i = 0; i < metrics.size(); ++i) {
        ToWire(payload.metrics[i], &metrics[i]);
        pointers.push_back(&metrics[i]);
    }
    SparkplugB__Payload wire;
    sparkplug_b__payload__init(&wire);
    if (payload.timestampMs) {
        wire.has_timestamp = true;
        wire.timestamp = static_cast<std::uint64_t>(*payload.timestampMs);
    }
    if (payload.seq) {
        wire.has_seq = true;
        wire.seq = *payload.seq;
    }
    wire.n_metrics = pointers.size();
    wire.metrics = pointers.data();
    std::string bytes(sparkplug_b__payload__get_packed_size(&wire), '\0');
    sparkplug_b__payload__pack(&wire, reinterpret_cast<std::uint8_t*>(bytes.data()));
    return bytes;
}

std::optional<Payload> Decode(std::string_view bytes) {
    std::unique_ptr<SparkplugB__Payload, void (*)(SparkplugB__Payload*)> wire(
        sparkplug_b__payload__unpack(nullptr, bytes.size(),
                                     reinterpret_cast<const std::uint8_t*>(bytes.data())),
        [](SparkplugB__Payload* unpacked) { sparkplug_b__payload__free_unpacked(unpacked, nullptr); });
    if (!wire) {
        return std::nullopt;
    }
    Payload payload;
    if (wire->has_timestamp) {
        payload.timestampMs = static_cast<EpochMs>(wire->timestamp);
    }
    if (wire->has_seq) {
        payload.seq = wire->seq;
    }
    for (std::size_t i = 0; i < wire->n_metrics; ++i) {
        payload.metrics.push_back(FromWire(*wire->metrics[i]));
    }
    return payload;
}

}  // namespace gateway::sparkplug
