// Binding gates: which addresses a VPI accepts, the reply words the host gets back, and which
// gates are marked for the reset after a communication failure.
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "../lifecycle/vpi_harness.hpp"

namespace {

using harness::Parse;

constexpr std::int32_t kVpi = 11;

class ParseAddress : public harness::HostTest {
protected:
    std::unique_ptr<VpiInstance> instance = harness::NewInstance();

    std::uint32_t MarkedCount() const {
        std::uint32_t count = 0;
        for (std::uint32_t word : instance->gateInUse) count += word != 0;
        return count;
    }
};

void ExpectReplyWords(const GateParseArgs& args, std::int32_t kind, std::int32_t code) {
    EXPECT_EQ(args.addressKind, kind);
    EXPECT_EQ(args.presetA, 0);
    EXPECT_EQ(args.addressCode, code);
    EXPECT_EQ(args.presetB, 255);
    EXPECT_EQ(args.presetC, 16);
}

TEST_F(ParseAddress, OrdinaryAddressesOfTheRightTypeAreAcceptedAndMarked) {
    struct Case {
        const char* address;
        std::int32_t gateType;
        std::int32_t gateId;
    };
    const Case cases[] = {
        {"I05P12", GateTypeReal, 100},    {"i05p12", GateTypeReal, 101},
        {"I05P03", GateTypeInteger, 102}, {"I05P01", GateTypeInteger, 0},
        {"I05P04", GateTypeInteger, 103}, {"I05P05", GateTypeReal, 104},
        {"I99P99", GateTypeReal, 65534},  {"I01P01", GateTypeInteger, 105},
    };
    zelpro::StartCapture();
    for (const Case& c : cases) {
        // The host's text is never changed, even though it is compared upper-cased.
        std::string hostText = c.address;
        auto parsed = Parse(instance.get(), kVpi, hostText.c_str(), c.gateId, c.gateType);
        EXPECT_EQ(parsed.result, 0) << c.address;
        ExpectReplyWords(parsed.args, 0, 1000);
        EXPECT_EQ(instance->gateInUse[c.gateId], 1u) << c.address;
        EXPECT_EQ(hostText, c.address);
    }
    EXPECT_TRUE(zelpro::TakeCapture().empty()) << "acceptance logs nothing";
    EXPECT_EQ(MarkedCount(), std::size(cases));
}

TEST_F(ParseAddress, AnyOtherAddressIsRefusedAsIllegalWithItsUpperCasedText) {
    struct Case {
        const char* address;
        std::int32_t gateType;
        const char* shown;
    };
    const Case cases[] = {
        {"I05P03", GateTypeReal, "I05P03"},      // parameters 1..4 are integers
        {"I05P05", GateTypeInteger, "I05P05"},   // parameters 5..99 are reals
        {"I05P05", GateTypeDigital, "I05P05"},   // digital only for the special gates
        {"I05P01", GateTypeDigital, "I05P01"},
        {"I05P05", 0, "I05P05"},                 // a type code of none of ours
        {"I00P05", GateTypeReal, "I00P05"},
        {"I05P00", GateTypeReal, "I05P00"},
        {"I5P05", GateTypeReal, "I5P05"},
        {"I05P005", GateTypeReal, "I05P005"},
        {"X05P05", GateTypeReal, "X05P05"},
        {"x05p05", GateTypeReal, "X05P05"},
        {"I5,P05", GateTypeReal, "I5,P05"},      // the sets' separator is no digit
        {"I05P,5", GateTypeReal, "I05P,5"},
        {" I05P05", GateTypeReal, " I05P05"},
        {"I05P05 ", GateTypeReal, "I05P05 "},
        {"I123P05", GateTypeReal, "I123P05"},    // the publisher's name for stream 123
        {"I0AP05", GateTypeReal, "I0AP05"},
        {"I05Q05", GateTypeReal, "I05Q05"},
        {"", GateTypeReal, ""},
        {"!STATUS ", GateTypeDigital, "!STATUS "},
        {"!POLL2", GateTypeDigital, "!POLL2"},
        {"STATUS", GateTypeDigital, "STATUS"},
    };
    for (const Case& c : cases) {
        zelpro::StartCapture();
        auto parsed = Parse(instance.get(), kVpi, c.address, 7, c.gateType);
        auto log = zelpro::TakeCapture();
        EXPECT_EQ(parsed.result, 1) << c.address;
        ExpectReplyWords(parsed.args, 0, 0);
        ASSERT_EQ(log.size(), 1u) << c.address;
        EXPECT_EQ(log[0].level, 32);
        EXPECT_EQ(log[0].text, std::string("VPIVG: Parse failed. Illegal Address (") + c.shown + ")");
    }
    EXPECT_EQ(MarkedCount(), 0u);
}

TEST_F(ParseAddress, SpecialGatesMustBeDigitalAndAreNeverMarked) {
    struct Case {
        const char* address;
        std::int32_t gateType;
        std::int32_t result;
        std::int32_t code;
        const char* message;  // null: none
    };
    const Case cases[] = {
        {"!STATUS", GateTypeDigital, 0, 1, nullptr},
        {"!status", GateTypeDigital, 0, 1, nullptr},
        {"!StAtUs", GateTypeDigital, 0, 1, nullptr},
        {"!STATUS", GateTypeReal, 1, 1, "VPIVG: STATUS gate must be digital. Parse failed!"},
        {"!Status", GateTypeInteger, 1, 1, "VPIVG: STATUS gate must be digital. Parse failed!"},
        {"!POLL", GateTypeDigital, 0, 2, nullptr},
        {"!poll", GateTypeDigital, 0, 2, nullptr},
        {"!POLL", GateTypeInteger, 1, 2, "VPIVG: POLL gate must be digital. Parse failed!"},
        {"!pOlL", 0, 1, 2, "VPIVG: POLL gate must be digital. Parse failed!"},
    };
    std::int32_t gateId = 200;
    for (const Case& c : cases) {
        zelpro::StartCapture();
        auto parsed = Parse(instance.get(), kVpi, c.address, gateId, c.gateType);
        auto log = zelpro::TakeCapture();
        EXPECT_EQ(parsed.result, c.result) << c.address;
        // Kind and code name the special gate even when its type is refused.
        ExpectReplyWords(parsed.args, c.code, c.code);
        if (c.message) {
            ASSERT_EQ(log.size(), 1u) << c.address;
            EXPECT_EQ(log[0].level, 32);
            EXPECT_EQ(log[0].text, c.message);
        } else {
            EXPECT_TRUE(log.empty()) << c.address;
        }
        EXPECT_EQ(instance->gateInUse[gateId], 0u) << c.address;
        ++gateId;
    }
    EXPECT_EQ(MarkedCount(), 0u);
}

TEST_F(ParseAddress, MarksStayUntilTheNextStart) {
    EXPECT_EQ(Parse(instance.get(), kVpi, "I05P12", 42, GateTypeReal).result, 0);
    EXPECT_EQ(Parse(instance.get(), kVpi, "I05P12", 42, GateTypeReal).result, 0);
    EXPECT_EQ(instance->gateInUse[42], 1u);
    // A later refusal for the same gate does not unbind it.
    EXPECT_EQ(Parse(instance.get(), kVpi, "I05P12", 42, GateTypeInteger).result, 1);
    EXPECT_EQ(Parse(instance.get(), kVpi, "!STATUS", 42, GateTypeDigital).result, 0);
    EXPECT_EQ(instance->gateInUse[42], 1u);
    EXPECT_EQ(MarkedCount(), 1u);
}

TEST_F(ParseAddress, GateIdsWithoutAMarkWordAreRefusedAndMarkNothing) {
    for (std::int32_t gateId : {-1, 65535, 65536, -2147483647 - 1, 2147483647}) {
        zelpro::StartCapture();
        auto parsed = Parse(instance.get(), kVpi, "i05p12", gateId, GateTypeReal);
        auto log = zelpro::TakeCapture();
        EXPECT_EQ(parsed.result, 1) << gateId;
        ExpectReplyWords(parsed.args, 0, 0);
        EXPECT_EQ(harness::Texts(log, 32),
                  std::vector<std::string>{"VPIVG: Parse failed. Illegal Address (I05P12)"});
    }
    EXPECT_EQ(MarkedCount(), 0u);
    // The special gates index nothing, so their id is not looked at.
    EXPECT_EQ(Parse(instance.get(), kVpi, "!STATUS", -1, GateTypeDigital).result, 0);
}

TEST_F(ParseAddress, OverLongAndMissingAddressesAreRefusedWithinTheirBounds) {
    // 40 characters: the message shows the first 32, upper-cased.
    const std::string longAddress = "i05p12" + std::string(34, 'x');
    zelpro::StartCapture();
    auto parsed = Parse(instance.get(), kVpi, longAddress.c_str(), 9, GateTypeReal);
    EXPECT_EQ(parsed.result, 1);
    EXPECT_EQ(harness::Texts(zelpro::TakeCapture()),
              std::vector<std::string>{"VPIVG: Parse failed. Illegal Address (I05P12" +
                                       std::string(26, 'X') + ")"});

    // A text that is not terminated within 33 bytes is read no further than that (the
    // sanitizer build would catch a read past this exact-size buffer).
    auto unterminated = std::make_unique<char[]>(33);
    std::memset(unterminated.get(), '!', 33);
    parsed = Parse(instance.get(), kVpi, unterminated.get(), 9, GateTypeDigital);
    EXPECT_EQ(parsed.result, 1);

    // "!STATUS" followed by blanks up to 33 characters is still not the special gate.
    const std::string padded = "!STATUS" + std::string(26, ' ');
    EXPECT_EQ(Parse(instance.get(), kVpi, padded.c_str(), 9, GateTypeDigital).result, 1);

    zelpro::StartCapture();
    parsed = Parse(instance.get(), kVpi, nullptr, 9, GateTypeReal);
    EXPECT_EQ(parsed.result, 1);
    ExpectReplyWords(parsed.args, 0, 0);
    EXPECT_EQ(harness::Texts(zelpro::TakeCapture()),
              std::vector<std::string>{"VPIVG: Parse failed. Illegal Address ()"});
    EXPECT_EQ(MarkedCount(), 0u);
}

TEST_F(ParseAddress, AnEndedVpiAnswersWithoutValidatingOrMarking) {
    instance->threadEnded = 1;
    GateParseArgs args{};
    args.address = "I05P12";
    args.gateId = 5;
    args.gateType = GateTypeReal;
    args.addressKind = args.presetA = args.addressCode = args.presetB = args.presetC = -7;
    EXPECT_EQ(harness::Call(instance.get(), CmdParseAddress, kVpi, &args), 0);
    EXPECT_EQ(args.addressCode, -7);
    EXPECT_EQ(args.presetC, -7);
    EXPECT_EQ(instance->gateInUse[5], 0u);
}

}  // namespace
