// Stopping a VPI: only the host ends it, by stopping its client. From the moment the thread has
// left its loop every command is answered with 0 and does nothing, and the event goes once.
#include <chrono>
#include <string>
#include <vector>

#include "vpi_harness.hpp"

namespace {

constexpr std::int32_t kVpi = 63;

class Stop : public harness::HostTest {};

TEST_F(Stop, AfterTheClientIsStoppedEveryCommandIsAnsweredWithZeroAndDoesNothing) {
    OPEN_TEST_LINE(line);
    OPEN_TEST_LINE(other);
    auto gate = zelpro::AddGate(kVpi, "I05P05", GateTypeReal);
    ASSERT_TRUE(gate);
    harness::RunningVpi vpi(kVpi, line->DeviceName());
    ASSERT_EQ(vpi.startResult(), 0);
    VpiInstance* instance = vpi.instance();
    ASSERT_EQ(harness::Parse(instance, kVpi, "I05P05", *gate, GateTypeReal).result, 0);
    zelpro::SetGateValue(*gate, 5.5);
    instance->resetPending = 0;
    HANDLE event = instance->packetEvent.load();
    HANDLE port = instance->portHandle.load();
    const PortSettings settings = instance->port;

    ASSERT_TRUE(zelpro::StopClient(static_cast<unsigned char>(instance->clientId)));
    ASSERT_TRUE(WaitFor([&] { return instance->threadEnded.load() == 1; }, 8000));
#if !defined(_WIN32)
    const int handles = PlatformOpenHandleCount();
#endif

    // Within the thread's last second, while it still holds its client.
    zelpro::StartCapture();
    zelpro::StartRecording();
    auto poll = harness::Read(instance, kVpi, "!POLL");
    EXPECT_EQ(poll.result, 0);
    EXPECT_EQ(poll.raw, harness::kUntouched);
    EXPECT_EQ(instance->packetEvent.load(), nullptr) << "the first such call closes the event";
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    auto read = harness::Read(instance, kVpi, "I05P05", GateTypeReal);
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.raw, harness::kUntouched);

    GateParseArgs parse{};
    parse.address = "I05P06";
    parse.gateId = 9;
    parse.gateType = GateTypeReal;
    parse.addressCode = -7;
    EXPECT_EQ(vpi.Call(CmdParseAddress, &parse), 0);
    EXPECT_EQ(parse.addressCode, -7);
    EXPECT_EQ(instance->gateInUse[9], 0u);

    GateAccessArgs write{};
    write.address = "I05P05";
    BlockWriteArgs blockWrite{"I05P05"};
    EXPECT_EQ(vpi.Call(CmdWrite, &write), 0);
    EXPECT_EQ(vpi.Call(CmdBlockWrite, &blockWrite), 0);
    EXPECT_EQ(vpi.Call(CmdBlockRead), 0);
    EXPECT_EQ(vpi.Call(CmdUnsupported4), 0);
    EXPECT_EQ(vpi.Call(CmdWarmStart), 0);
    EXPECT_EQ(vpi.Call(CmdClose), 0);
    EXPECT_EQ(vpi.Call(CmdClosePort), 0);
    EXPECT_EQ(instance->portHandle.load(), port) << "nothing on the stop path closes the port";
    EXPECT_EQ(vpi.Call(CmdOpenPort), 0);
    SetPortArgs setPort{};
    std::strncpy(setPort.name, other->DeviceName().c_str(), sizeof setPort.name - 1);
    setPort.readTimeout = 500;
    EXPECT_EQ(vpi.Call(CmdSetPort, &setPort), 0);
    StartArgs start = harness::MakeStartArgs(other->DeviceName());
    EXPECT_EQ(vpi.Call(CmdStart, &start), 0);

    // None of it ran: no message but the thread's own, no host call but the thread's.
    for (const auto& entry : zelpro::TakeCapture()) {
        EXPECT_EQ(entry.text, "VpiVG: ShutDown Report By Excption thread");
    }
    for (const auto& call : zelpro::TakeRecording()) {
        EXPECT_EQ(call.function, "Zel5RmClient");
    }
    EXPECT_EQ(line->Read(1, 100), "") << "the poll was not sent";
    EXPECT_EQ(other->Read(1, 100), "");
    EXPECT_EQ(harness::ValueOf(*gate), 5.5);
    EXPECT_EQ(instance->resetPending, 0u);
    EXPECT_EQ(instance->portHandle.load(), port);
    EXPECT_EQ(instance->readTimeout, 100);
    EXPECT_EQ(std::memcmp(&instance->port, &settings, sizeof settings), 0);
#if !defined(_WIN32)
    EXPECT_EQ(PlatformOpenHandleCount(), handles - 1) << "only the event was closed";
#endif

    // The describe command is still served.
    DriverInfo info{};
    EXPECT_EQ(vpi.Call(CmdDescribe, &info), 0);
    EXPECT_EQ(info.instanceSize, sizeof(VpiInstance));

    // The thread finishes: client removed, last message logged.
    zelpro::StartCapture();
    EXPECT_TRUE(vpi.Stop());
    EXPECT_FALSE(zelpro::FindClient("VG_No_63").has_value());
}

TEST_F(Stop, CommandsStopBeingServedTheMomentTheWaitEndsAndTheClientGoesASecondLater) {
    // The host's commands must see the VPI as over while its thread still holds its client for
    // its last second; a thread that flagged its end only after that pause would leave the
    // host's calls running against a client that is about to vanish.
    OPEN_TEST_LINE(line);
    harness::RunningVpi vpi(kVpi, line->DeviceName());
    ASSERT_EQ(vpi.startResult(), 0);
    VpiInstance* instance = vpi.instance();
    ASSERT_TRUE(zelpro::StopClient(static_cast<unsigned char>(instance->clientId)));

    // A parse is cheap and talks to nobody; a short-circuited command closes the event.
    GateParseArgs parse{};
    parse.address = "I05P06";
    parse.gateId = 9;
    parse.gateType = GateTypeReal;
    const auto over = [&] {
        EXPECT_EQ(vpi.Call(CmdParseAddress, &parse), 0);
        return instance->packetEvent.load() == nullptr;
    };
    ASSERT_TRUE(WaitFor(over, 10000));
    const auto shortCircuited = std::chrono::steady_clock::now();
    EXPECT_TRUE(zelpro::FindClient(vpi.clientName())) << "the client went with the flag";
    ASSERT_TRUE(WaitFor([&] { return !zelpro::FindClient(vpi.clientName()); }, 5000));
    const auto gone = std::chrono::steady_clock::now();
    EXPECT_GE(gone - shortCircuited, std::chrono::milliseconds(500))
        << "the client must outlive the flag by the thread's last pause";
    if (HANDLE port = instance->portHandle.exchange(nullptr)) CloseHandle(port);
}

}  // namespace
