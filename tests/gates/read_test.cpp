// Gate reads on a VPI prepared the way a start leaves it (client, signalled event, open port),
// without a report thread: the test plays the thread's part by setting the event.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "../lifecycle/vpi_harness.hpp"
#include "gates/gates.hpp"
#include "serial/serial.hpp"

namespace {

using harness::Read;
using harness::kUntouched;

constexpr std::int32_t kVpi = 21;

class GateRead : public harness::HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        instance->vpiNumber = kVpi;
        instance->statusWait = 60;
        std::uint32_t slot = 0;
        ASSERT_EQ(Zel5MkClient("GATES_21", 1, 0, &slot), 0);
        instance->clientId = slot;
        instance->packetEvent = CreateEventA(nullptr, FALSE, TRUE, nullptr);
        ASSERT_NE(instance->packetEvent.load(), nullptr);
    }
    void TearDown() override {
        if (HANDLE event = instance->packetEvent.exchange(nullptr)) CloseHandle(event);
        if (HANDLE port = instance->portHandle.exchange(nullptr)) CloseHandle(port);
        HostTest::TearDown();
    }

    std::uint32_t Bind(const char* address, std::int32_t gateType, double value) {
        auto id = zelpro::AddGate(kVpi, address, gateType);
        EXPECT_TRUE(id.has_value()) << address;
        zelpro::SetGateValue(*id, value);
        EXPECT_EQ(harness::Parse(instance.get(), kVpi, address, static_cast<std::int32_t>(*id),
                                 gateType).result,
                  0)
            << address;
        return *id;
    }

    std::unique_ptr<VpiInstance> instance = harness::NewInstance();
};

TEST_F(GateRead, StatusFollowsThePacketEventAndReportsALostLinkOnce) {
    const std::uint32_t gate = Bind("I05P05", GateTypeReal, 4.5);

    // Created signalled: the first read after a start answers 1 at once and writes only the
    // digital word.
    zelpro::StartCapture();
    auto first = Read(instance.get(), kVpi, "!STATUS");
    EXPECT_EQ(first.result, 0);
    EXPECT_EQ(first.digital(), 1);
    EXPECT_EQ(first.raw & 0xFFFFu, kUntouched & 0xFFFFu) << "bytes 0..1 are not the state's";
    EXPECT_TRUE(zelpro::TakeCapture().empty());
    EXPECT_FALSE(zelpro::CommStatusOf(kVpi).has_value());

    // Nothing arrived since: the link is reported lost, and the next read resets the gates.
    zelpro::StartCapture();
    auto second = Read(instance.get(), kVpi, "!status");
    auto log = zelpro::TakeCapture();
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(second.digital(), 0);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].level, 32);
    EXPECT_EQ(log[0].text, "VPIVG: Comms fail! Vpi=21 ");
    auto status = zelpro::CommStatusOf(kVpi);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->a, 0);
    EXPECT_EQ(status->b, 1);
    EXPECT_EQ(status->c, 1);
    EXPECT_EQ(status->reports, 1u);
    EXPECT_EQ(instance->resetPending, 1u);
    EXPECT_EQ(harness::ValueOf(gate), 4.5) << "the reset waits for the next read";

    // A packet arrives (the thread sets the event): the next read resets first, then reads 1.
    ASSERT_TRUE(SetEvent(instance->packetEvent.load()));
    auto third = Read(instance.get(), kVpi, "!StAtUs");
    EXPECT_EQ(third.digital(), 1);
    EXPECT_EQ(harness::ValueOf(gate), 0.0);
    EXPECT_EQ(instance->resetPending, 0u);
    // Coming back is not reported to the host.
    EXPECT_EQ(zelpro::CommStatusOf(kVpi)->reports, 1u);

    // A VPI whose event was never created fails the wait the same way.
    HANDLE event = instance->packetEvent.exchange(nullptr);
    CloseHandle(event);
    EXPECT_EQ(Read(instance.get(), kVpi, "!STATUS").digital(), 0);
    EXPECT_EQ(zelpro::CommStatusOf(kVpi)->reports, 2u);
}

TEST_F(GateRead, APendingResetWritesZeroToEveryMarkedGateOnceInAscendingOrder) {
    const std::uint32_t real = Bind("I05P05", GateTypeReal, 2.5);
    const std::uint32_t integer = Bind("I05P01", GateTypeInteger, 9.0);
    auto special = zelpro::AddGate(kVpi, "!STATUS", GateTypeDigital);
    ASSERT_TRUE(special);
    zelpro::SetGateValue(*special, 1.0);
    ASSERT_EQ(harness::Parse(instance.get(), kVpi, "!STATUS", *special, GateTypeDigital).result, 0);
    auto unbound = zelpro::AddGate(kVpi, "I05P07", GateTypeReal);
    ASSERT_TRUE(unbound);
    zelpro::SetGateValue(*unbound, 7.0);
    // The highest id a gate can have is marked too.
    auto top = zelpro::AddGate(kVpi, "I05P09", GateTypeReal, 65534);
    ASSERT_TRUE(top);
    zelpro::SetGateValue(*top, 3.0);
    ASSERT_EQ(harness::Parse(instance.get(), kVpi, "I05P09", 65534, GateTypeReal).result, 0);

    instance->resetPending = 1;
    zelpro::StartRecording();
    // Whatever the address, even one the host does not know.
    auto read = Read(instance.get(), kVpi, "I77P05", GateTypeReal);
    auto calls = zelpro::TakeRecording();
    EXPECT_EQ(read.result, 1);
    EXPECT_EQ(instance->resetPending, 0u);

    std::vector<std::uint32_t> resetIds;
    for (const auto& call : calls) {
        if (call.function != "Zel5PutGateVal") continue;
        resetIds.push_back(call.gateId);
        EXPECT_EQ(call.mode, 2);
        EXPECT_EQ(call.value, 0.0);
    }
    std::vector<std::uint32_t> expected{real, integer, 65534};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(resetIds, expected);
    EXPECT_EQ(harness::ValueOf(real), 0.0);
    EXPECT_EQ(harness::ValueOf(integer), 0.0);
    EXPECT_EQ(harness::ValueOf(65534), 0.0);
    EXPECT_EQ(harness::ValueOf(*special), 1.0) << "special gates are never reset";
    EXPECT_EQ(harness::ValueOf(*unbound), 7.0) << "only bound gates are reset";
    EXPECT_EQ(instance->gateInUse[real], 1u) << "marks survive the reset";

    // Once only.
    zelpro::SetGateValue(real, 6.0);
    Read(instance.get(), kVpi, "I05P05", GateTypeReal);
    EXPECT_EQ(harness::ValueOf(real), 6.0);
}

TEST_F(GateRead, AFailedResetWriteIsLoggedAndTheResetAndReadGoOn) {
    const std::uint32_t first = Bind("I05P05", GateTypeReal, 2.5);
    const std::uint32_t second = Bind("I05P06", GateTypeReal, 3.5);
    instance->resetPending = 1;
    zelpro::InjectFault(zelpro::Fault::PutValue, 1);
    zelpro::StartCapture();
    auto read = Read(instance.get(), kVpi, "I05P05", GateTypeReal);
    auto log = zelpro::TakeCapture();
    EXPECT_EQ(harness::Texts(log, 32),
              std::vector<std::string>{"VPIVG: Failed to Initialize Value. Gate #" +
                                       std::to_string(first) + ". rc=9"});
    EXPECT_EQ(harness::ValueOf(first), 2.5);
    EXPECT_EQ(harness::ValueOf(second), 0.0);
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.real(), 2.5f);
    EXPECT_EQ(instance->resetPending, 0u);
    EXPECT_EQ(instance->gateInUse[first], 1u);
}

TEST_F(GateRead, PollSendsExactlyTheSevenPollBytesInAnyCase) {
    EXPECT_EQ(std::string(kPollCommand, sizeof kPollCommand), std::string("@;390\n\r"));
    OPEN_TEST_LINE(line);
    PortSettings settings{};
    std::strcpy(settings.name, line->DeviceName().c_str());
    settings.line = LineParams{9600, 8, 0, 0};
    settings.lineFlags = 8;
    instance->portHandle = PortOpen(settings);
    ASSERT_NE(instance->portHandle.load(), nullptr);

    for (const char* address : {"!POLL", "!poll", "!PoLl"}) {
        zelpro::StartCapture();
        auto read = Read(instance.get(), kVpi, address);
        EXPECT_EQ(read.result, 0) << address;
        EXPECT_EQ(read.raw, kUntouched) << "a poll answers with no value";
        EXPECT_TRUE(zelpro::TakeCapture().empty());
        EXPECT_EQ(line->Read(8, 300), std::string("@;390\n\r", 7)) << address;
    }

    // With the port closed the poll goes nowhere, quietly, and the read still succeeds.
    HANDLE port = instance->portHandle.exchange(nullptr);
    CloseHandle(port);
    zelpro::StartCapture();
    auto closed = Read(instance.get(), kVpi, "!POLL");
    EXPECT_EQ(closed.result, 0);
    EXPECT_EQ(closed.raw, kUntouched);
    EXPECT_TRUE(zelpro::TakeCapture().empty());
    EXPECT_EQ(line->Read(1, 100), "");
}

TEST_F(GateRead, OrdinaryGatesDeliverAFloatForRealsAndA32BitPatternOtherwise) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double value;
        std::int32_t gateType;
        std::uint32_t pattern;  // for non-real types
        float real;             // for real gates
    };
    const Case cases[] = {
        {12.5, GateTypeReal, 0, 12.5f},
        {-0.1, GateTypeReal, 0, -0.1f},
        {1.2345, GateTypeReal, 0, 1.2345f},
        {1e300, GateTypeReal, 0, std::numeric_limits<float>::infinity()},
        {7.9, GateTypeInteger, 7u, 0},
        {-7.9, GateTypeInteger, static_cast<std::uint32_t>(-7), 0},
        {2147483648.0, GateTypeInteger, 0x80000000u, 0},
        {4294967295.0, GateTypeInteger, 0xFFFFFFFFu, 0},
        {-2147483648.0, GateTypeInteger, 0x80000000u, 0},
        {4294967296.0, GateTypeInteger, 0u, 0},             // low half of 2^32
        {1.0, GateTypeDigital, 1u, 0},
        {3.0, 0, 3u, 0},                                     // any other type code
        // No number, or beyond 64 bits: a defined pattern, never undefined behaviour.
        {nan, GateTypeInteger, 0u, 0},
        {1e300, GateTypeInteger, 0xFFFFFFFFu, 0},            // saturated to INT64_MAX
        {inf, GateTypeInteger, 0xFFFFFFFFu, 0},
        {-1e300, GateTypeInteger, 0u, 0},                    // saturated to INT64_MIN
        {-inf, GateTypeInteger, 0u, 0},
        {9223372036854775808.0, GateTypeInteger, 0xFFFFFFFFu, 0},
        {-9223372036854775808.0, GateTypeInteger, 0u, 0},
    };
    auto id = zelpro::AddGate(kVpi, "I05P05", GateTypeReal);
    ASSERT_TRUE(id);
    for (const Case& c : cases) {
        ASSERT_TRUE(zelpro::SetGateValue(*id, c.value));
        zelpro::StartCapture();
        auto read = Read(instance.get(), kVpi, "I05P05", c.gateType);
        EXPECT_TRUE(zelpro::TakeCapture().empty());
        EXPECT_EQ(read.result, 0) << c.value;
        if (c.gateType == GateTypeReal) {
            EXPECT_EQ(read.real(), c.real) << c.value;
        } else {
            EXPECT_EQ(read.raw, c.pattern) << c.value << " type " << c.gateType;
        }
    }
}

TEST_F(GateRead, FailedLookupsAndValueReadsLeaveTheAreaAndNameTheHostsText) {
    auto id = zelpro::AddGate(kVpi, "I05P12", GateTypeReal);
    ASSERT_TRUE(id);
    zelpro::SetGateValue(*id, 1.5);

    // The host's own letter case goes to the lookup and into the messages.
    zelpro::StartRecording();
    auto found = Read(instance.get(), kVpi, "i05p12", GateTypeReal);
    auto calls = zelpro::TakeRecording();
    EXPECT_EQ(found.result, 0);
    EXPECT_EQ(found.real(), 1.5f);
    bool lookedUp = false;
    for (const auto& call : calls) {
        if (call.function != "Zel5GetGateIdByAddressStr") continue;
        lookedUp = true;
        EXPECT_EQ(call.address, "i05p12");
        EXPECT_EQ(call.vpi, static_cast<unsigned>(kVpi));
    }
    EXPECT_TRUE(lookedUp);

    struct Case {
        const char* address;
        zelpro::Fault fault;
        bool inject;
        int level;
        std::string message;
    };
    const Case cases[] = {
        {"i77p05", zelpro::Fault::Lookup, false, 8, "VPIDNP: Gate i77p05 not found in Database"},
        {"i05p12", zelpro::Fault::Lookup, true, 8,
         "VPIDNP: Failed to get gate ID Gate i05p12: rc = 9"},
        {"i05p12", zelpro::Fault::GetValue, true, 32, "VPIDNP: Failed to get gate val. GAS=i05p12"},
    };
    for (const Case& c : cases) {
        if (c.inject) zelpro::InjectFault(c.fault, 1);
        zelpro::StartCapture();
        auto read = Read(instance.get(), kVpi, c.address, GateTypeReal);
        auto log = zelpro::TakeCapture();
        EXPECT_EQ(read.result, 1) << c.message;
        EXPECT_EQ(read.raw, kUntouched) << c.message;
        ASSERT_EQ(log.size(), 1u) << c.message;
        EXPECT_EQ(log[0].level, c.level);
        EXPECT_EQ(log[0].text, c.message);
    }
}

TEST_F(GateRead, OverLongOrMissingAddressesAreAnsweredWithOneAfterThePendingReset) {
    const std::uint32_t gate = Bind("I05P05", GateTypeReal, 2.5);
    instance->resetPending = 1;
    const std::string longAddress = "!STATUS" + std::string(40, ' ');
    zelpro::StartCapture();
    auto read = Read(instance.get(), kVpi, longAddress.c_str(), GateTypeReal);
    EXPECT_EQ(read.result, 1);
    EXPECT_EQ(read.raw, kUntouched);
    EXPECT_TRUE(zelpro::TakeCapture().empty());
    EXPECT_EQ(harness::ValueOf(gate), 0.0);

    // Exactly 33 bytes, no terminator: never read past (the sanitizer build checks it).
    auto unterminated = std::make_unique<char[]>(33);
    std::memset(unterminated.get(), 'A', 33);
    EXPECT_EQ(Read(instance.get(), kVpi, unterminated.get(), GateTypeReal).result, 1);

    EXPECT_EQ(Read(instance.get(), kVpi, nullptr, GateTypeReal).result, 1);
    GateAccessArgs noArea{};
    noArea.address = "!STATUS";
    EXPECT_EQ(harness::Call(instance.get(), CmdRead, kVpi, &noArea), 0);
}

}  // namespace
