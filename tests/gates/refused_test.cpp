// Writes and block operations are refused: nothing reaches a gate, the line or the VPI's state.
#include <string>
#include <vector>

#include "../lifecycle/vpi_harness.hpp"
#include "serial/serial.hpp"

namespace {

constexpr std::int32_t kVpi = 22;

class Refused : public harness::HostTest {
protected:
    std::unique_ptr<VpiInstance> instance = harness::NewInstance();
};

std::int32_t Write(VpiInstance* instance, const char* address) {
    float value = 42.0f;
    GateAccessArgs args{};
    args.address = address;
    args.gateType = GateTypeReal;
    args.valueArea = reinterpret_cast<GateValue*>(&value);
    return harness::Call(instance, CmdWrite, kVpi, &args);
}

std::int32_t BlockWrite(VpiInstance* instance, const char* address) {
    BlockWriteArgs args{address};
    return harness::Call(instance, CmdBlockWrite, kVpi, &args);
}

TEST_F(Refused, EveryWriteAndBlockOperationAnswersOneWithItsMessage) {
    struct Case {
        std::int32_t (*send)(VpiInstance*);
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {[](VpiInstance* i) { return Write(i, "i05p12"); },
         {"VPIVG: Writing values not allowed. Address I05P12"}},
        {[](VpiInstance* i) { return Write(i, "!status"); },
         {"VPIVG: Writing values not allowed. Address !STATUS"}},
        {[](VpiInstance* i) { return Write(i, "!POLL"); },
         {"VPIVG: Writing values not allowed. Address !POLL"}},
        {[](VpiInstance* i) { return Write(i, "anything at all"); },
         {"VPIVG: Writing values not allowed. Address ANYTHING AT ALL"}},
        {[](VpiInstance* i) { return BlockWrite(i, "i05p12"); },
         {"VPIVG: Block write not allowed. Address I05P12"}},
        {[](VpiInstance* i) { return harness::Call(i, CmdBlockRead, kVpi); },
         {"VPIVG: No support for Block Read !"}},
        {[](VpiInstance* i) { return harness::Call(i, CmdUnsupported4, kVpi); }, {}},
    };
    for (const Case& c : cases) {
        zelpro::StartCapture();
        EXPECT_EQ(c.send(instance.get()), 1);
        auto log = zelpro::TakeCapture();
        EXPECT_EQ(harness::Texts(log), c.log);
        for (const auto& line : log) EXPECT_EQ(line.level, 32);
    }
}

TEST_F(Refused, ARefusedWriteLeavesGatesMarksPendingResetAndLineAlone) {
    OPEN_TEST_LINE(line);
    PortSettings settings{};
    std::strcpy(settings.name, line->DeviceName().c_str());
    settings.line = LineParams{9600, 8, 0, 0};
    settings.lineFlags = 8;
    instance->portHandle = PortOpen(settings);
    ASSERT_NE(instance->portHandle.load(), nullptr);
    std::uint32_t slot = 0;
    ASSERT_EQ(Zel5MkClient("GATES_22", 1, 0, &slot), 0);
    instance->clientId = slot;

    auto id = zelpro::AddGate(kVpi, "I05P12", GateTypeReal);
    ASSERT_TRUE(id);
    zelpro::SetGateValue(*id, 5.0);
    ASSERT_EQ(harness::Parse(instance.get(), kVpi, "I05P12", *id, GateTypeReal).result, 0);
    instance->resetPending = 1;

    zelpro::StartRecording();
    EXPECT_EQ(Write(instance.get(), "I05P12"), 1);
    EXPECT_EQ(Write(instance.get(), "!POLL"), 1);
    EXPECT_EQ(BlockWrite(instance.get(), "I05P12"), 1);
    EXPECT_TRUE(zelpro::TakeRecording().empty()) << "no host call but the log";

    EXPECT_EQ(line->Read(1, 200), "") << "a write to !POLL sends nothing";
    EXPECT_EQ(harness::ValueOf(*id), 5.0);
    EXPECT_EQ(instance->gateInUse[*id], 1u);
    EXPECT_EQ(instance->resetPending, 1u);

    CloseHandle(instance->portHandle.exchange(nullptr));
}

TEST_F(Refused, OverLongAndMissingAddressesAreNamedWithinTheirBounds) {
    const std::string longAddress = "i05p12" + std::string(40, 'y');
    const std::string shown = "I05P12" + std::string(26, 'Y');
    zelpro::StartCapture();
    EXPECT_EQ(Write(instance.get(), longAddress.c_str()), 1);
    EXPECT_EQ(BlockWrite(instance.get(), longAddress.c_str()), 1);
    EXPECT_EQ(Write(instance.get(), nullptr), 1);
    EXPECT_EQ(BlockWrite(instance.get(), nullptr), 1);
    EXPECT_EQ(harness::Texts(zelpro::TakeCapture()),
              (std::vector<std::string>{"VPIVG: Writing values not allowed. Address " + shown,
                                        "VPIVG: Block write not allowed. Address " + shown,
                                        "VPIVG: Writing values not allowed. Address ",
                                        "VPIVG: Block write not allowed. Address "}));

    auto unterminated = std::make_unique<char[]>(33);
    std::memset(unterminated.get(), 'z', 33);
    zelpro::StartCapture();
    EXPECT_EQ(Write(instance.get(), unterminated.get()), 1);
    EXPECT_EQ(harness::Texts(zelpro::TakeCapture()),
              std::vector<std::string>{"VPIVG: Writing values not allowed. Address " +
                                       std::string(32, 'Z')});
}

}  // namespace
