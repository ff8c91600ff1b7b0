// Warm start (drain the line, reset the gates on the next read) and close, on a VPI whose port
// is open and whose report thread is not running, so only the host's calls touch the line.
#include <string>
#include <vector>

#include "serial/serial.hpp"
#include "vpi_harness.hpp"

namespace {

using harness::Call;

constexpr std::int32_t kVpi = 61;

class WarmStart : public harness::HostTest {
protected:
    void TearDown() override {
        if (HANDLE port = instance->portHandle.exchange(nullptr)) CloseHandle(port);
        if (HANDLE event = instance->packetEvent.exchange(nullptr)) CloseHandle(event);
        HostTest::TearDown();
    }

    // Started without a thread, then given a client of the test's so gate resets can be seen.
    bool StartOn(const std::string& device, std::int32_t readTimeout) {
        StartArgs args = harness::MakeStartArgs(device, readTimeout);
        zelpro::InjectFault(zelpro::Fault::MakeClient, 1);
        if (Call(instance.get(), CmdStart, kVpi, &args) != 0) return false;
        std::uint32_t slot = 0;
        if (Zel5MkClient("WARM_61", 1, 0, &slot) != 0) return false;
        instance->clientId = slot;
        instance->packetEvent = CreateEventA(nullptr, FALSE, TRUE, nullptr);
        return instance->portHandle.load() != nullptr;
    }

    std::int32_t PortTimeout() {
        HANDLE port = instance->portHandle.load();
        const std::int32_t previous = SerialSetReadTimeout(port, 1);
        SerialSetReadTimeout(port, previous);
        return previous;
    }

    std::unique_ptr<VpiInstance> instance = harness::NewInstance();
};

TEST_F(WarmStart, DrainsAtMost3000WaitingBytesAndSetsTheReadTimeoutBack) {
    OPEN_TEST_LINE(line);
    ASSERT_TRUE(StartOn(line->DeviceName(), 250));
    instance->resetPending = 0;

    // Idle line: nothing to take; the timeout is the instance's again afterwards.
    zelpro::StartCapture();
    EXPECT_EQ(Call(instance.get(), CmdWarmStart, kVpi), 0);
    EXPECT_EQ(harness::Texts(zelpro::TakeCapture()),
              std::vector<std::string>{"VPIVG: Warm Start"});
    EXPECT_EQ(instance->resetPending, 1u);
    EXPECT_EQ(PortTimeout(), 250);

    // Busy line: 3500 bytes wait; the first 3000 are thrown away, the rest stay in order.
    std::string waiting;
    for (int i = 0; i < 3500; ++i) waiting.push_back(static_cast<char>('0' + i % 43));
    ASSERT_TRUE(line->Write(waiting));
    SleepMs(200);
    EXPECT_EQ(Call(instance.get(), CmdWarmStart, kVpi), 0);
    EXPECT_EQ(PortTimeout(), 250);
    SerialSetReadTimeout(instance->portHandle.load(), 20);
    std::string rest(500, '\0');
    EXPECT_TRUE(PortRead(instance.get(), rest.data(), 500));
    EXPECT_EQ(rest, waiting.substr(3000));
    char extra = 0;
    EXPECT_FALSE(PortRead(instance.get(), &extra, 1)) << "nothing beyond the 3500 bytes";
}

TEST_F(WarmStart, AppliesTheTimeoutSetPortStoredAndResetsTheGatesOnTheNextRead) {
    OPEN_TEST_LINE(line);
    ASSERT_TRUE(StartOn(line->DeviceName(), 100));
    auto gate = zelpro::AddGate(kVpi, "I05P05", GateTypeReal);
    ASSERT_TRUE(gate);
    ASSERT_EQ(harness::Parse(instance.get(), kVpi, "I05P05", *gate, GateTypeReal).result, 0);
    instance->statusWait = 90;
    EXPECT_EQ(harness::Read(instance.get(), kVpi, "!STATUS").digital(), 1);  // the start's reset
    zelpro::SetGateValue(*gate, 6.5);
    HANDLE event = instance->packetEvent.load();
    const std::uint32_t client = instance->clientId;

    // Set port on the open device stores 300 without applying it; the warm start applies it.
    SetPortArgs args{};
    std::strncpy(args.name, line->DeviceName().c_str(), sizeof args.name - 1);
    args.readTimeout = 300;
    args.line = LineParams{9600, 8, 0, 0};
    EXPECT_EQ(Call(instance.get(), CmdSetPort, kVpi, &args), 2);
    EXPECT_EQ(PortTimeout(), 100);
    EXPECT_EQ(Call(instance.get(), CmdWarmStart, kVpi), 0);
    EXPECT_EQ(PortTimeout(), 300);

    // Nothing else of the VPI is touched; the next read, of any address, resets its gates.
    EXPECT_EQ(harness::ValueOf(*gate), 6.5);
    EXPECT_EQ(instance->statusWait, 90);
    EXPECT_EQ(instance->packetEvent.load(), event);
    EXPECT_EQ(instance->clientId, client);
    EXPECT_EQ(instance->gateInUse[*gate], 1u);
    EXPECT_EQ(harness::Read(instance.get(), kVpi, "I77P01", GateTypeInteger).result, 1);
    EXPECT_EQ(harness::ValueOf(*gate), 0.0);
    EXPECT_EQ(instance->resetPending, 0u);
}

TEST_F(WarmStart, AStoredTimeoutBelowOneLeavesThePortAsItWasNotOnTheDrainTimeout) {
    OPEN_TEST_LINE(line);
    ASSERT_TRUE(StartOn(line->DeviceName(), 250));
    for (std::int32_t stored : {-1, -2147483647 - 1}) {
        instance->readTimeout = stored;  // what a port command with such a record stores
        EXPECT_EQ(Call(instance.get(), CmdWarmStart, kVpi), 0);
        EXPECT_EQ(PortTimeout(), 250) << stored;
    }
}

TEST_F(WarmStart, WithThePortClosedOnlyTheResetIsArranged) {
    OPEN_TEST_LINE(line);
    ASSERT_TRUE(StartOn(line->DeviceName(), 100));
    ASSERT_EQ(Call(instance.get(), CmdClosePort, kVpi), 0);
    instance->resetPending = 0;
    zelpro::StartCapture();
    EXPECT_EQ(Call(instance.get(), CmdWarmStart, kVpi), 0);
    EXPECT_EQ(harness::Texts(zelpro::TakeCapture()),
              std::vector<std::string>{"VPIVG: Warm Start"});
    EXPECT_EQ(instance->resetPending, 1u);
    EXPECT_EQ(instance->portHandle.load(), nullptr);
}

TEST_F(WarmStart, CloseIsOnlyLoggedAndReleasesNothing) {
    OPEN_TEST_LINE(line);
    ASSERT_TRUE(StartOn(line->DeviceName(), 100));
    HANDLE port = instance->portHandle.load();
    HANDLE event = instance->packetEvent.load();
    zelpro::StartCapture();
    EXPECT_EQ(Call(instance.get(), CmdClose, kVpi), 0);
    auto log = zelpro::TakeCapture();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].level, 32);
    EXPECT_EQ(log[0].text, "VPIVG: Closing Vpi 61");
    EXPECT_EQ(instance->portHandle.load(), port);
    EXPECT_EQ(instance->packetEvent.load(), event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the event is still usable";
    EXPECT_TRUE(zelpro::FindClient("WARM_61").has_value());
    // The VPI keeps answering through its handlers.
    EXPECT_EQ(harness::Read(instance.get(), kVpi, "!POLL").result, 0);
    EXPECT_EQ(line->Read(7, 500), "@;390\n\r");
}

}  // namespace
