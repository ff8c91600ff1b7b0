// VPIs brought up all the way, with their report threads serving real lines: binding gates,
// reports reaching them, losing and regaining the instrument. Each thread pauses 4 s after its
// start, so these tests take seconds; checks that can share a started VPI share it.
#include <string>
#include <vector>

#include "vpi_harness.hpp"

namespace {

using harness::Read;
using harness::RunningVpi;
using harness::ValueOf;

class Running : public harness::HostTest {};

std::uint32_t AddGate(unsigned vpi, const char* address, int gateType, double value) {
    auto id = zelpro::AddGate(vpi, address, gateType);
    EXPECT_TRUE(id.has_value()) << address;
    zelpro::SetGateValue(*id, value);
    return *id;
}

TEST_F(Running, TwoVpisComeUpWithTheirOwnPortClientEventAndGates) {
    OPEN_TEST_LINE(lineA);
    OPEN_TEST_LINE(lineB);
    harness::WriteInitFile(7, "TIME=45\n");
    harness::RemoveInitFile(112);
    const std::uint32_t real7 = AddGate(7, "I05P05", GateTypeReal, 3.0);
    const std::uint32_t int7 = AddGate(7, "I05P01", GateTypeInteger, 3.0);
    const std::uint32_t status7 = AddGate(7, "!STATUS", GateTypeDigital, 1.0);
    const std::uint32_t poll7 = AddGate(7, "!POLL", GateTypeDigital, 0.0);
    const std::uint32_t real112 = AddGate(112, "I05P05", GateTypeReal, 3.0);

    zelpro::StartCapture();
    RunningVpi a(7, lineA->DeviceName());
    RunningVpi b(112, lineB->DeviceName());
    ASSERT_EQ(a.startResult(), 0);
    ASSERT_EQ(b.startResult(), 0);
    ASSERT_TRUE(WaitFor(
        [] {
            auto log = zelpro::PeekCapture();
            return harness::Logged(log, "VpiVG: VPI 7 Start Report-By-Exception Thread") &&
                   harness::Logged(log, "VpiVG: VPI 112 Start Report-By-Exception Thread");
        },
        3000));
    auto log = zelpro::TakeCapture();
    EXPECT_TRUE(harness::Logged(log, "VPIVG: VPI no. 7 loaded successfully", 32));
    EXPECT_TRUE(harness::Logged(log, "VPIVG: VPI no. 112 loaded successfully", 32));
    EXPECT_TRUE(harness::Logged(log, "VpiVG: Init File vpiVG112.int not found ! ", 32));
    EXPECT_FALSE(harness::Logged(log, "VpiVG: Init File vpiVG07.int not found ! "));

    // Each VPI has its own client, named after its number, and its own event and port.
    auto clientA = zelpro::FindClient("VG_No_07");
    auto clientB = zelpro::FindClient("VG_No_112");
    ASSERT_TRUE(clientA && clientB);
    EXPECT_EQ(a.instance()->clientId & 0xFF, *clientA);
    EXPECT_EQ(b.instance()->clientId & 0xFF, *clientB);
    EXPECT_NE(*clientA, *clientB);
    EXPECT_NE(a.instance()->packetEvent.load(), nullptr);
    EXPECT_NE(a.instance()->packetEvent.load(), b.instance()->packetEvent.load());
    EXPECT_NE(a.instance()->portHandle.load(), b.instance()->portHandle.load());
    EXPECT_EQ(a.instance()->statusWait, 45);
    EXPECT_EQ(b.instance()->statusWait, 60);
    EXPECT_EQ(a.instance()->threadEnded.load(), 0u);

    auto bind = [](RunningVpi& vpi, const char* address, std::uint32_t id, int type) {
        EXPECT_EQ(harness::Parse(vpi.instance(), vpi.vpi(), address, static_cast<std::int32_t>(id),
                                 type)
                      .result,
                  0)
            << address;
    };
    bind(a, "I05P05", real7, GateTypeReal);
    bind(a, "i05p01", int7, GateTypeInteger);
    bind(a, "!STATUS", status7, GateTypeDigital);
    bind(a, "!POLL", poll7, GateTypeDigital);
    bind(b, "I05P05", real112, GateTypeReal);

    // The first read after the start answers 1 at once and first resets this VPI's gates only.
    auto status = Read(a.instance(), 7, "!STATUS");
    EXPECT_EQ(status.result, 0);
    EXPECT_EQ(status.digital(), 1);
    EXPECT_EQ(ValueOf(real7), 0.0);
    EXPECT_EQ(ValueOf(int7), 0.0);
    EXPECT_EQ(ValueOf(status7), 1.0);
    EXPECT_EQ(ValueOf(real112), 3.0);

    // A poll goes to this VPI's line only.
    EXPECT_EQ(Read(a.instance(), 7, "!POLL").result, 0);
    EXPECT_EQ(lineA->Read(8, 500), "@;390\n\r");
    EXPECT_EQ(lineB->Read(1, 100), "");

    // Reports sent during the thread's start pause wait in the line and then reach the gates of
    // their own VPI.
    ASSERT_TRUE(lineA->Write(harness::Report("1.2345")));
    ASSERT_TRUE(lineB->Write(harness::Report("2.5", "09")));
    EXPECT_TRUE(WaitFor([&] { return ValueOf(real7) == static_cast<double>(1.2345f); }, 9000));
    EXPECT_TRUE(WaitFor([&] { return ValueOf(real112) == 2.5; }, 9000));
    EXPECT_EQ(ValueOf(int7), 7.0);
    auto read = Read(a.instance(), 7, "I05P05", GateTypeReal);
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.real(), 1.2345f);
    // VPI 112's first read still owes its start's reset, which runs before the value is read.
    EXPECT_EQ(Read(b.instance(), 112, "I05P05", GateTypeReal).real(), 0.0f);
    ASSERT_TRUE(lineB->Write(harness::Report("2.75", "09")));
    EXPECT_TRUE(WaitFor([&] { return ValueOf(real112) == 2.75; }, 5000));
    EXPECT_EQ(Read(b.instance(), 112, "I05P05", GateTypeReal).real(), 2.75f);

    // Closing is only logged: the thread goes on publishing.
    zelpro::StartCapture();
    EXPECT_EQ(a.Call(CmdClose), 0);
    EXPECT_TRUE(harness::Logged(zelpro::TakeCapture(), "VPIVG: Closing Vpi 7", 32));
    ASSERT_TRUE(lineA->Write(harness::Report("4.75")));
    EXPECT_TRUE(WaitFor([&] { return ValueOf(real7) == 4.75; }, 5000));
    EXPECT_EQ(a.instance()->threadEnded.load(), 0u);

    EXPECT_TRUE(a.Stop());
    EXPECT_TRUE(b.Stop());
    harness::RemoveInitFile(7);
}

TEST_F(Running, AnInstrumentThatFallsSilentIsReportedAndItsGatesResetUntilItReportsAgain) {
    OPEN_TEST_LINE(line);
    harness::RemoveInitFile(41);
    const std::uint32_t gate = AddGate(41, "I05P05", GateTypeReal, 8.0);
    zelpro::StartCapture();
    RunningVpi vpi(41, line->DeviceName());
    ASSERT_EQ(vpi.startResult(), 0);
    // Let the thread announce itself before the log is looked at.
    ASSERT_TRUE(WaitFor(
        [] {
            return harness::Logged(zelpro::PeekCapture(),
                                   "VpiVG: VPI 41 Start Report-By-Exception Thread");
        },
        3000));
    zelpro::TakeCapture();
    ASSERT_EQ(harness::Parse(vpi.instance(), 41, "I05P05", gate, GateTypeReal).result, 0);

    EXPECT_EQ(Read(vpi.instance(), 41, "!STATUS").digital(), 1);
    EXPECT_EQ(ValueOf(gate), 0.0);
    zelpro::SetGateValue(gate, 8.0);

    // Silence: lost link reported once per failed read, gates reset by the next read.
    zelpro::StartCapture();
    EXPECT_EQ(Read(vpi.instance(), 41, "!STATUS").digital(), 0);
    EXPECT_EQ(harness::Texts(zelpro::TakeCapture()),
              std::vector<std::string>{"VPIVG: Comms fail! Vpi=41 "});
    auto comm = zelpro::CommStatusOf(41);
    ASSERT_TRUE(comm);
    EXPECT_EQ(comm->a, 0);
    EXPECT_EQ(comm->b, 1);
    EXPECT_EQ(comm->c, 1);
    EXPECT_EQ(comm->reports, 1u);
    EXPECT_EQ(ValueOf(gate), 8.0);

    // The instrument comes back: its report reaches the gate, and the next read (which still
    // owes the reset) finds the packet.
    ASSERT_TRUE(line->Write(harness::Report("1.5")));
    ASSERT_TRUE(WaitFor([&] { return ValueOf(gate) == 1.5; }, 9000));
    EXPECT_EQ(Read(vpi.instance(), 41, "!STATUS").digital(), 1);
    EXPECT_EQ(ValueOf(gate), 0.0) << "the reset owed since the failure ran first";
    EXPECT_EQ(zelpro::CommStatusOf(41)->reports, 1u) << "coming back is not reported";

    ASSERT_TRUE(line->Write(harness::Report("2.5")));
    ASSERT_TRUE(WaitFor([&] { return ValueOf(gate) == 2.5; }, 5000));
    EXPECT_EQ(Read(vpi.instance(), 41, "!STATUS").digital(), 1);
    EXPECT_EQ(ValueOf(gate), 2.5);

    // Several packets between two reads count once.
    ASSERT_TRUE(line->Write(harness::Report("3.5") + harness::Report("4.5")));
    ASSERT_TRUE(WaitFor([&] { return ValueOf(gate) == 4.5; }, 5000));
    EXPECT_EQ(Read(vpi.instance(), 41, "!STATUS").digital(), 1);
    EXPECT_EQ(Read(vpi.instance(), 41, "!STATUS").digital(), 0);
    EXPECT_EQ(zelpro::CommStatusOf(41)->reports, 2u);
}

TEST_F(Running, TheHostKeepsTheBlocksOwnClientSlotAndItsLaterWritesCount) {
    // A host runtime may keep the slot pointer it was given and renumber the client through it
    // later: the VPI must then use the new id, on the host's thread and on its own.
    OPEN_TEST_LINE(line);
    const std::uint32_t gate = AddGate(21, "I05P05", GateTypeReal, 2.5);
    RunningVpi vpi(21, line->DeviceName());
    ASSERT_EQ(vpi.startResult(), 0);
    VpiInstance* instance = vpi.instance();
    const auto made = zelpro::FindClient(vpi.clientName());
    ASSERT_TRUE(made);
    // Stop here if not: a pointer into a dead stack frame must not be written through.
    ASSERT_EQ(zelpro::ClientSlotOf(*made), &instance->clientId);

    std::uint32_t otherSlot = 0;
    ASSERT_EQ(Zel5MkClient("Renumbered", 1, 0, &otherSlot), 0);
    const auto other = static_cast<unsigned char>(otherSlot);
    ASSERT_NE(other, *made);
    zelpro::StartRecording();
    ASSERT_TRUE(zelpro::WriteClientSlot(*made, other));

    instance->resetPending = 0;
    auto read = Read(instance, vpi.vpi(), "I05P05", GateTypeReal);
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.real(), 2.5f);
    // The thread now waits on the new client: stopping that one ends it and it removes that one.
    ASSERT_TRUE(zelpro::StopClient(other));
    EXPECT_TRUE(WaitFor([&] { return instance->threadEnded.load() == 1; }, 10000));
    EXPECT_TRUE(WaitFor([] { return !zelpro::FindClient("Renumbered"); }, 5000));
    EXPECT_TRUE(zelpro::FindClient(vpi.clientName())) << "the old id is not the VPI's any more";

    bool lookedUp = false;
    bool removed = false;
    for (const auto& call : zelpro::TakeRecording()) {
        if (call.function == "Zel5GetGateIdByAddressStr" || call.function == "Zel5GetGateVal" ||
            call.function == "Zel5WaitMsg" || call.function == "Zel5RmClient") {
            EXPECT_EQ(call.client, other) << call.function;
        }
        lookedUp |= call.function == "Zel5GetGateIdByAddressStr" && call.gateId == gate;
        removed |= call.function == "Zel5RmClient";
    }
    EXPECT_TRUE(lookedUp);
    EXPECT_TRUE(removed);

    // The thread is gone and the old client has nobody to remove it: the test does.
    Zel5RmClient(*made);
    if (HANDLE port = instance->portHandle.exchange(nullptr)) CloseHandle(port);
}

}  // namespace
