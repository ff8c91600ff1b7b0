// The payload helper against the generated code: what it encodes unpacks field for field, and
// what it decodes is what a host application packed.
#include <gtest/gtest.h>

#include "gateway_testing.hpp"
#include "sparkplug_payload.hpp"

using namespace gateway;
using gatewaytest::BooleanCommand;
using gatewaytest::Unpack;

TEST(SparkplugPayload, SignedIntegersTravelAsTheirTwosComplementBits) {
    sparkplug::Payload payload;
    payload.timestampMs = 1796747846123;
    payload.seq = 255;
    payload.metrics = {sparkplug::Int32Metric("a", -1), sparkplug::Int32Metric("b", -2147483647 - 1),
                       sparkplug::Int64Metric("c", -2), sparkplug::Int32Metric("d", 65535)};
    auto wire = Unpack(sparkplug::Encode(payload));
    ASSERT_TRUE(wire);
    EXPECT_EQ(wire->timestamp, 1796747846123u);
    EXPECT_EQ(wire->seq, 255u);
    ASSERT_EQ(wire->n_metrics, 4u);
    EXPECT_EQ(wire->metrics[0]->int_value, 0xFFFFFFFFu);
    EXPECT_EQ(wire->metrics[1]->int_value, 0x80000000u);
    EXPECT_EQ(wire->metrics[2]->long_value, 0xFFFFFFFFFFFFFFFEu);
    EXPECT_EQ(wire->metrics[3]->int_value, 65535u);
    EXPECT_EQ(static_cast<std::int32_t>(wire->metrics[0]->int_value), -1);
    for (std::size_t i = 0; i < wire->n_metrics; ++i) {
        EXPECT_FALSE(wire->metrics[i]->has_is_null);
        EXPECT_FALSE(wire->metrics[i]->has_timestamp) << "none was given";
    }
    // Fields left unset stay off the wire: no seq for a death, no timestamp for a will.
    auto bare = Unpack(sparkplug::Encode(sparkplug::Payload{}));
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->has_seq);
    EXPECT_FALSE(bare->has_timestamp);
    EXPECT_EQ(bare->n_metrics, 0u);
}

TEST(SparkplugPayload, DecodesWhatAHostPacksAndRefusesWhatIsNotAPayload) {
    const std::optional<sparkplug::Payload> command =
        sparkplug::Decode(BooleanCommand("Device Control/Poll", true));
    ASSERT_TRUE(command);
    EXPECT_EQ(command->timestampMs, 1765000000000);
    ASSERT_EQ(command->metrics.size(), 1u);
    EXPECT_EQ(command->metrics[0].name, "Device Control/Poll");
    EXPECT_EQ(command->metrics[0].datatype, sparkplug::kBoolean);
    ASSERT_TRUE(std::holds_alternative<bool>(command->metrics[0].value));
    EXPECT_TRUE(std::get<bool>(command->metrics[0].value));

    sparkplug::Payload nulls;
    nulls.metrics = {sparkplug::NullMetric("x", sparkplug::kDouble)};
    const std::optional<sparkplug::Payload> back = sparkplug::Decode(sparkplug::Encode(nulls));
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->metrics[0].isNull);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(back->metrics[0].value));

    EXPECT_TRUE(sparkplug::Decode(""));  // an empty payload is a valid, empty message
    EXPECT_FALSE(sparkplug::Decode(std::string("\x12\x40", 2)));  // a metric cut short
    EXPECT_FALSE(sparkplug::Decode("{\"online\":true}"));
}
