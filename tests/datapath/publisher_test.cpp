// The gate publisher against the stand-in host runtime: which gates, in which order, with
// which values, and what is logged when the host cannot take a value.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <zelpro/zelpro.h>

#include "control.hpp"
#include "datapath/datapath.hpp"

namespace {

class Publisher : public ::testing::Test {
protected:
    void SetUp() override {
        zelpro::Reset();
        zelpro::SetLogSink([](int, const std::string&) {});
        instance_ = std::make_unique<VpiInstance>();
        std::uint32_t slot = 0;
        ASSERT_EQ(Zel5MkClient("VG_No_07", 1, 0, &slot), 0);
        client_ = static_cast<unsigned char>(slot);
        // Only the low 8 bits of the client id and of the VPI number reach the host.
        instance_->clientId = slot | 0x5A00u;
        instance_->vpiNumber = 0x0107;
    }
    void TearDown() override {
        zelpro::SetLogSink({});
        zelpro::Reset();
    }

    std::uint32_t Add(const std::string& address) {
        auto id = zelpro::AddGate(7, address, GateTypeReal);
        EXPECT_TRUE(id.has_value()) << address;
        return id.value_or(0);
    }
    double ValueOf(std::uint32_t id) { return zelpro::Gate(id).value().value; }
    std::uint64_t WritesOf(std::uint32_t id) { return zelpro::Gate(id).value().writes; }

    std::vector<zelpro::CallRecord> Publish(const std::string& text) {
        zelpro::StartRecording();
        zelpro::StartCapture();
        PublishPacket(instance_.get(), text.c_str());
        log_ = zelpro::TakeCapture();
        return zelpro::TakeRecording();
    }

    std::unique_ptr<VpiInstance> instance_;
    unsigned char client_ = 0;
    std::vector<zelpro::LogLine> log_;
};

// A compact picture of a recording: "L I03P01" for a lookup, "P <id> <value>" for a write.
std::vector<std::string> Calls(const std::vector<zelpro::CallRecord>& calls) {
    std::vector<std::string> out;
    for (const auto& c : calls) {
        if (c.function == "Zel5GetGateIdByAddressStr") {
            out.push_back("L " + c.address);
        } else if (c.function == "Zel5PutGateVal") {
            char value[64];
            std::snprintf(value, sizeof value, "%.17g", c.value);
            out.push_back("P " + std::to_string(c.gateId) + " " + value);
        } else {
            out.push_back(c.function);
        }
    }
    return out;
}

TEST_F(Publisher, WritesFixedFieldsThenNonzeroParametersInOrder) {
    const std::uint32_t p01 = Add("I03P01"), p02 = Add("I03P02"), p03 = Add("I03P03"),
                        p04 = Add("I03P04"), p05 = Add("I03P05"), p06 = Add("I03P06"),
                        p07 = Add("I03P07"), p08 = Add("I03P08");
    zelpro::SetGateValue(p06, 66.0);
    zelpro::SetGateValue(p07, 77.0);

    const auto calls = Publish("a;12345;01;07;02;03;03;250;04;03;05;1.5;06;0;07;-0.0;08;2.25");

    const std::vector<std::string> expected = {
        "L I03P01", "P " + std::to_string(p01) + " 7",
        "L I03P02", "P " + std::to_string(p02) + " 3",
        "L I03P03", "P " + std::to_string(p03) + " 250",
        "L I03P04", "P " + std::to_string(p04) + " 3",
        "L I03P05", "P " + std::to_string(p05) + " 1.5",
        "L I03P08", "P " + std::to_string(p08) + " 2.25",
    };
    EXPECT_EQ(Calls(calls), expected);
    for (const auto& c : calls) {
        EXPECT_EQ(c.client, client_);
        if (c.function == "Zel5GetGateIdByAddressStr") {
            EXPECT_EQ(c.vpi, 7u);
        }
        if (c.function == "Zel5PutGateVal") {
            EXPECT_EQ(c.mode, 2);
        }
    }
    EXPECT_EQ(ValueOf(p01), 7.0);
    EXPECT_EQ(ValueOf(p05), 1.5);
    // Zero (and minus zero) leave the gate as it was.
    EXPECT_EQ(ValueOf(p06), 66.0);
    EXPECT_EQ(ValueOf(p07), 77.0);
    EXPECT_EQ(WritesOf(p06), 0u);
    EXPECT_TRUE(log_.empty());
}

TEST_F(Publisher, FixedFieldsAreWrittenEvenWhenZero) {
    const std::uint32_t p01 = Add("I00P01"), p02 = Add("I00P02"), p03 = Add("I00P03"),
                        p04 = Add("I00P04");
    for (auto id : {p01, p02, p03, p04}) zelpro::SetGateValue(id, 9.0);
    Publish("a;0;01;00;02;00;03;0;04;00;05;0;06;0.0");
    for (auto id : {p01, p02, p03, p04}) {
        EXPECT_EQ(ValueOf(id), 0.0);
        EXPECT_EQ(WritesOf(id), 1u);
    }
}

TEST_F(Publisher, WideNumbersKeepEveryDigit) {
    // "04" of -1 is stream 65535, printed in full in the addresses and written to P04;
    // "03" of -5 is the unsigned 32-bit 4294967291.
    const std::uint32_t p01 = Add("I65535P01"), p03 = Add("I65535P03"),
                        p04 = Add("I65535P04"), p05 = Add("I65535P05");
    Add("I65535P02");
    const auto calls = Publish("a;12345;01;07;02;03;03;-5;04;-1;05;0.1");
    EXPECT_EQ(Calls(calls).front(), "L I65535P01");
    EXPECT_EQ(ValueOf(p01), 7.0);
    EXPECT_EQ(ValueOf(p03), 4294967291.0);
    EXPECT_EQ(ValueOf(p04), 65535.0);
    // The parameter travels as single precision and is widened exactly.
    EXPECT_EQ(ValueOf(p05), static_cast<double>(0.1f));
    EXPECT_NE(ValueOf(p05), 0.1);
    EXPECT_TRUE(log_.empty());
}

TEST_F(Publisher, TwoDigitAddressesForSmallStreamsAndParameters) {
    std::string text = "a;1;01;01;02;02;03;3;04;09;";
    for (int n = 5; n <= 99; ++n) {
        text += (n < 10 ? "0" : "") + std::to_string(n) + ";" + std::to_string(n) + ";";
    }
    const auto calls = Publish(text);
    std::vector<std::string> lookups;
    for (const auto& c : calls) {
        if (c.function == "Zel5GetGateIdByAddressStr") lookups.push_back(c.address);
    }
    ASSERT_EQ(lookups.size(), 99u);
    EXPECT_EQ(lookups[0], "I09P01");
    EXPECT_EQ(lookups[4], "I09P05");
    EXPECT_EQ(lookups[98], "I09P99");
    // None of these gates exists: each fixed one at its level, each parameter at 32.
    ASSERT_EQ(log_.size(), 99u);
    EXPECT_EQ(log_[0].text, "VpiVG: Can not find gate I09P01 in Database!");
    EXPECT_EQ(log_[0].level, 8);
    EXPECT_EQ(log_[1].level, 8);
    EXPECT_EQ(log_[2].level, 32);
    EXPECT_EQ(log_[3].level, 8);
    EXPECT_EQ(log_[98].text, "VpiVG: Can not find gate I09P99 in Database!");
    EXPECT_EQ(log_[98].level, 32);
}

TEST_F(Publisher, RejectedPacketTouchesNothing) {
    Add("I03P01");
    const auto calls = Publish("a;12345;01;7;02;03;03;250;04;03;05;1.5;06;0");
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(log_.empty());
}

TEST_F(Publisher, MissingGatesAreLoggedAndSkipped) {
    const std::uint32_t p01 = Add("I03P01"), p04 = Add("I03P04"), p06 = Add("I03P06");
    const auto calls = Publish("a;1;01;07;02;03;03;250;04;03;05;1.5;06;2.5");
    EXPECT_EQ(ValueOf(p01), 7.0);
    EXPECT_EQ(ValueOf(p04), 3.0);
    EXPECT_EQ(ValueOf(p06), 2.5);
    const std::vector<zelpro::LogLine> expected = {
        {8, "VpiVG: Can not find gate I03P02 in Database!"},
        {32, "VpiVG: Can not find gate I03P03 in Database!"},
        {32, "VpiVG: Can not find gate I03P05 in Database!"},
    };
    ASSERT_EQ(log_.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(log_[i].level, expected[i].level) << i;
        EXPECT_EQ(log_[i].text, expected[i].text) << i;
    }
    // No write is attempted for a gate that was not found.
    int puts = 0;
    for (const auto& c : calls) puts += c.function == "Zel5PutGateVal";
    EXPECT_EQ(puts, 3);
}

TEST_F(Publisher, FailedWriteIsLoggedWithItsGateAndTheWalkGoesOn) {
    const std::uint32_t p01 = Add("I03P01"), p02 = Add("I03P02"), p03 = Add("I03P03"),
                        p04 = Add("I03P04"), p05 = Add("I03P05");
    zelpro::InjectFault(zelpro::Fault::PutValue, 1);
    Publish("a;1;01;07;02;03;03;250;04;03;05;1.5");
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_EQ(log_[0].level, 32);
    EXPECT_EQ(log_[0].text, "VpiVG: Write gate id " + std::to_string(p01) + " failed");
    EXPECT_EQ(WritesOf(p01), 0u);
    EXPECT_EQ(ValueOf(p02), 3.0);
    EXPECT_EQ(ValueOf(p03), 250.0);
    EXPECT_EQ(ValueOf(p04), 3.0);
    EXPECT_EQ(ValueOf(p05), 1.5);

    // Every write failing: each one logged with its own gate, the walk never cut short.
    zelpro::InjectFault(zelpro::Fault::PutValue, -1);
    Publish("a;1;01;07;02;03;03;250;04;03;05;1.5");
    ASSERT_EQ(log_.size(), 5u);
    EXPECT_EQ(log_[4].text, "VpiVG: Write gate id " + std::to_string(p05) + " failed");
    zelpro::InjectFault(zelpro::Fault::PutValue, 0);
}

}  // namespace
