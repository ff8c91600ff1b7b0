// The stand-in host runtime's C functions, as the driver calls them, and the control API that
// sets up what they answer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <zelpro/zelpro.h>

#include "control.hpp"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace {

using namespace zelpro;

class ZelproTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }

    static unsigned char MakeClient(const char* name = "VG_No_01") {
        std::uint32_t slot = 0;
        EXPECT_EQ(Zel5MkClient(name, 1, 0, &slot), kOk);
        return static_cast<unsigned char>(slot);
    }
};

// ---- clients -----------------------------------------------------------------------------

TEST_F(ZelproTest, MkClientGivesLowestFreeIdAndNamesIt) {
    EXPECT_EQ(MakeClient("VG_No_01"), 1);
    EXPECT_EQ(MakeClient("VG_No_02"), 2);
    EXPECT_EQ(Zel5RmClient(1), kOk);
    EXPECT_EQ(MakeClient("VG_No_03"), 1);

    EXPECT_EQ(FindClient("VG_No_03"), 1);
    EXPECT_EQ(FindClient("VG_No_02"), 2);
    EXPECT_EQ(FindClient("VG_No_01"), std::nullopt);
    const auto clients = Clients();
    ASSERT_EQ(clients.size(), 2u);
    EXPECT_EQ(clients[0].name, "VG_No_03");
    EXPECT_FALSE(clients[0].stopping);
}

TEST_F(ZelproTest, MkClientRefusesBadArgumentsAndLeavesTheSlot) {
    std::uint32_t slot = 77;
    EXPECT_EQ(Zel5MkClient(nullptr, 1, 0, &slot), kBadArgument);
    EXPECT_EQ(Zel5MkClient("VG_No_01", 1, 0, nullptr), kBadArgument);
    const std::string longest(kMaxClientNameLength, 'N');
    const std::string tooLong(kMaxClientNameLength + 1, 'N');
    EXPECT_EQ(Zel5MkClient(tooLong.c_str(), 1, 0, &slot), kBadArgument);
    EXPECT_EQ(slot, 77u);
    EXPECT_TRUE(Clients().empty());

    EXPECT_EQ(Zel5MkClient(longest.c_str(), 1, 0, &slot), kOk);
    EXPECT_EQ(FindClient(longest), slot);
}

TEST_F(ZelproTest, MkClientFailsWhenTheTableIsFull) {
    std::uint32_t slot = 0;
    for (int i = 1; i <= 254; ++i) {
        ASSERT_EQ(Zel5MkClient("c", 1, 0, &slot), kOk);
        ASSERT_EQ(slot, static_cast<std::uint32_t>(i));
    }
    EXPECT_EQ(Zel5MkClient("c", 1, 0, &slot), kFull);
    EXPECT_EQ(Zel5RmClient(200), kOk);
    EXPECT_EQ(Zel5MkClient("c", 1, 0, &slot), kOk);
    EXPECT_EQ(slot, 200u);
}

TEST_F(ZelproTest, MkClientInjectedFaultCountsDown) {
    std::uint32_t slot = 0;
    InjectFault(Fault::MakeClient, 2);
    EXPECT_EQ(Zel5MkClient("a", 1, 0, &slot), kInjectedFault);
    EXPECT_EQ(Zel5MkClient("a", 1, 0, &slot), kInjectedFault);
    EXPECT_EQ(Zel5MkClient("a", 1, 0, &slot), kOk);
    EXPECT_EQ(Clients().size(), 1u);
}

TEST_F(ZelproTest, RmClientRefusesUnknownIds) {
    EXPECT_EQ(Zel5RmClient(0), kUnknownClient);
    EXPECT_EQ(Zel5RmClient(1), kUnknownClient);
    EXPECT_EQ(Zel5RmClient(255), kUnknownClient);
    const unsigned char id = MakeClient();
    EXPECT_EQ(Zel5RmClient(id), kOk);
    EXPECT_EQ(Zel5RmClient(id), kUnknownClient);
    EXPECT_FALSE(StopClient(id));
}

// ---- gate lookup ---------------------------------------------------------------------------

TEST_F(ZelproTest, LookupIgnoresLetterCaseAndKeepsVpisApart) {
    const unsigned char client = MakeClient();
    const auto lower = AddGate(5, "i05p12", 3);
    const auto otherVpi = AddGate(6, "I05P12", 3);
    const auto special = AddGate(5, "!Status", 6);
    ASSERT_TRUE(lower && otherVpi && special);
    EXPECT_NE(*lower, *otherVpi);

    std::uint32_t id = 12345;
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 5, "I05P12", &id), kOk);
    EXPECT_EQ(id, *lower);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 5, "i05P12", &id), kOk);
    EXPECT_EQ(id, *lower);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 6, "i05p12", &id), kOk);
    EXPECT_EQ(id, *otherVpi);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 5, "!STATUS", &id), kOk);
    EXPECT_EQ(id, *special);

    id = 12345;
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 7, "I05P12", &id), kNoSuchAddress);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 5, "I05P13", &id), kNoSuchAddress);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 5, "I05P1", &id), kNoSuchAddress);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 5, "", &id), kNoSuchAddress);
    EXPECT_EQ(id, 12345u);
    // The configured spelling is kept for display.
    EXPECT_EQ(Gate(*lower)->address, "i05p12");
}

TEST_F(ZelproTest, LookupRefusesBadArguments) {
    const unsigned char client = MakeClient();
    const std::string longest(kMaxAddressLength, 'A');
    const std::string tooLong(kMaxAddressLength + 1, 'A');
    const auto gate = AddGate(1, longest, 3);
    ASSERT_TRUE(gate);

    std::uint32_t id = 999;
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 1, nullptr, &id), kBadArgument);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 1, "AAAA", nullptr), kBadArgument);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 1, tooLong.c_str(), &id), kBadArgument);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(0, 1, longest.c_str(), &id), kUnknownClient);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(static_cast<unsigned char>(client + 1), 1,
                                        longest.c_str(), &id),
              kUnknownClient);
    EXPECT_EQ(id, 999u);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 1, longest.c_str(), &id), kOk);
    EXPECT_EQ(id, *gate);
}

TEST_F(ZelproTest, LookupFaultsCountDownOrStayUntilCleared) {
    const unsigned char client = MakeClient();
    ASSERT_TRUE(AddGate(1, "I01P01", 5));
    std::uint32_t id = 0;
    InjectFault(Fault::Lookup, 1);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 1, "I01P01", &id), kInjectedFault);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 1, "I01P01", &id), kOk);

    InjectFault(Fault::Lookup, -1);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 1, "I01P01", &id), kInjectedFault);
    }
    // The other kinds are not affected.
    EXPECT_EQ(Zel5PutGateVal(client, 0, 2, 1.0, 0, 0), kOk);
    InjectFault(Fault::Lookup, 0);
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 1, "I01P01", &id), kOk);
}

// ---- gate values ---------------------------------------------------------------------------

TEST_F(ZelproTest, PutStoresCountsAndCallsTheHook) {
    const unsigned char client = MakeClient();
    const auto gate = AddGate(3, "I03P05", 3);
    ASSERT_TRUE(gate);
    std::vector<std::pair<std::uint32_t, double>> hooked;
    SetGateWriteHook([&hooked](std::uint32_t id, double value) { hooked.emplace_back(id, value); });

    EXPECT_EQ(Zel5PutGateVal(client, *gate, 2, 1.5, 0, 0), kOk);
    EXPECT_EQ(Zel5PutGateVal(client, *gate, 2, 4294967291.0, 0, 0), kOk);
    EXPECT_EQ(Gate(*gate)->value, 4294967291.0);
    EXPECT_EQ(Gate(*gate)->writes, 2u);
    ASSERT_EQ(hooked.size(), 2u);
    EXPECT_EQ(hooked[0], std::make_pair(*gate, 1.5));

    // SetGateValue is the host's own write: not counted, no hook.
    EXPECT_TRUE(SetGateValue(*gate, -7.0));
    EXPECT_EQ(Gate(*gate)->value, -7.0);
    EXPECT_EQ(Gate(*gate)->writes, 2u);
    EXPECT_EQ(hooked.size(), 2u);

    SetGateWriteHook(nullptr);
    EXPECT_EQ(Zel5PutGateVal(client, *gate, 2, 2.0, 0, 0), kOk);
    EXPECT_EQ(hooked.size(), 2u);
}

TEST_F(ZelproTest, PutRefusesUnknownClientsGatesAndIds) {
    const unsigned char client = MakeClient();
    const auto gate = AddGate(3, "I03P05", 3);
    ASSERT_TRUE(gate);
    int hookCalls = 0;
    SetGateWriteHook([&hookCalls](std::uint32_t, double) { ++hookCalls; });

    EXPECT_EQ(Zel5PutGateVal(static_cast<unsigned char>(client + 1), *gate, 2, 1.0, 0, 0),
              kUnknownClient);
    EXPECT_EQ(Zel5PutGateVal(client, *gate + 1, 2, 1.0, 0, 0), kUnknownGate);
    EXPECT_EQ(Zel5PutGateVal(client, kMaxGateId + 1, 2, 1.0, 0, 0), kBadArgument);
    EXPECT_EQ(Zel5PutGateVal(client, 0xFFFFFFFFu, 2, 1.0, 0, 0), kBadArgument);
    InjectFault(Fault::PutValue, 1);
    EXPECT_EQ(Zel5PutGateVal(client, *gate, 2, 1.0, 0, 0), kInjectedFault);

    EXPECT_EQ(Gate(*gate)->writes, 0u);
    EXPECT_EQ(Gate(*gate)->value, 0.0);
    EXPECT_EQ(hookCalls, 0);
}

TEST_F(ZelproTest, GetReadsTheValueAndClearsTheAreas) {
    const unsigned char client = MakeClient();
    const auto gate = AddGate(2, "I02P07", 3, 40000);
    ASSERT_EQ(gate, 40000u);
    ASSERT_TRUE(SetGateValue(*gate, 0.25));

    double value = -1.0;
    std::uint32_t area1 = 0xDEADBEEF;
    std::uint32_t area2 = 0xDEADBEEF;
    EXPECT_EQ(Zel5GetGateVal(client, 16, *gate, &value, &area1, &area2), kOk);
    EXPECT_EQ(value, 0.25);
    EXPECT_EQ(area1, 0u);
    EXPECT_EQ(area2, 0u);
    EXPECT_EQ(Zel5GetGateVal(client, 16, *gate, &value, nullptr, nullptr), kOk);

    value = -1.0;
    EXPECT_EQ(Zel5GetGateVal(client, 16, *gate, nullptr, &area1, &area2), kBadArgument);
    EXPECT_EQ(Zel5GetGateVal(client, 16, 1, &value, nullptr, nullptr), kUnknownGate);
    EXPECT_EQ(Zel5GetGateVal(client, 16, kMaxGateId + 1, &value, nullptr, nullptr), kBadArgument);
    EXPECT_EQ(Zel5GetGateVal(0, 16, *gate, &value, nullptr, nullptr), kUnknownClient);
    InjectFault(Fault::GetValue, 1);
    EXPECT_EQ(Zel5GetGateVal(client, 16, *gate, &value, nullptr, nullptr), kInjectedFault);
    EXPECT_EQ(value, -1.0);
}

TEST_F(ZelproTest, CommStatusIsKeptPerVpiWithACount) {
    const unsigned char client = MakeClient();
    EXPECT_EQ(CommStatusOf(4), std::nullopt);
    EXPECT_EQ(Zel5SetPlcCommStatus(client, 4, 0, 1, 1), kOk);
    EXPECT_EQ(Zel5SetPlcCommStatus(client, 4, 0, 1, 1), kOk);
    EXPECT_EQ(Zel5SetPlcCommStatus(client, 255, 7, 8, 9), kOk);
    EXPECT_EQ(Zel5SetPlcCommStatus(static_cast<unsigned char>(client + 1), 5, 0, 1, 1),
              kUnknownClient);

    const auto four = CommStatusOf(4);
    ASSERT_TRUE(four);
    EXPECT_EQ(four->a, 0);
    EXPECT_EQ(four->b, 1);
    EXPECT_EQ(four->c, 1);
    EXPECT_EQ(four->reports, 2u);
    EXPECT_EQ(CommStatusOf(255)->c, 9);
    EXPECT_EQ(CommStatusOf(5), std::nullopt);
    EXPECT_EQ(CommStatusOf(256), std::nullopt);
}

// ---- control API ---------------------------------------------------------------------------

TEST_F(ZelproTest, AddGateRefusesWhatCouldNeverBeFound) {
    EXPECT_EQ(AddGate(1, "", 3), std::nullopt);
    EXPECT_EQ(AddGate(1, std::string(kMaxAddressLength + 1, 'X'), 3), std::nullopt);
    EXPECT_EQ(AddGate(256, "I01P01", 3), std::nullopt);
    EXPECT_EQ(AddGate(1, "I01P01", 3, kMaxGateId + 1), std::nullopt);
    EXPECT_EQ(AddGate(1, std::string("I01\0P01", 7), 3), std::nullopt);

    EXPECT_EQ(AddGate(1, "I01P01", 3, kMaxGateId), kMaxGateId);
    EXPECT_EQ(AddGate(1, "I01P02", 3, kMaxGateId), std::nullopt);  // id taken
    EXPECT_EQ(AddGate(1, "i01p01", 3), std::nullopt);              // address taken
    EXPECT_EQ(AddGate(2, "i01p01", 3), 0u);                        // other VPI: fine
    EXPECT_EQ(Gates().size(), 2u);
}

TEST_F(ZelproTest, GateIdsAreReusedLowestFirst) {
    ASSERT_EQ(AddGate(1, "A", 3), 0u);
    ASSERT_EQ(AddGate(1, "B", 3, 1), 1u);
    ASSERT_EQ(AddGate(1, "C", 3), 2u);
    EXPECT_TRUE(RemoveGate(0));
    EXPECT_FALSE(RemoveGate(0));
    EXPECT_FALSE(RemoveGate(kMaxGateId + 1));
    EXPECT_EQ(FindGate(1, "a"), std::nullopt);
    EXPECT_EQ(AddGate(1, "D", 3), 0u);
    EXPECT_EQ(AddGate(1, "A", 3), 3u);
    EXPECT_EQ(FindGate(1, "c"), 2u);

    const auto gates = Gates();
    ASSERT_EQ(gates.size(), 4u);
    EXPECT_EQ(gates[0].address, "D");
    EXPECT_EQ(gates[3].address, "A");
    EXPECT_EQ(gates[3].vpi, 1u);
}

TEST_F(ZelproTest, EveryGateIdCanBeUsed) {
    const unsigned char client = MakeClient();
    char address[16];
    for (std::uint32_t i = 0; i <= kMaxGateId; ++i) {
        std::snprintf(address, sizeof address, "G%u", i);
        ASSERT_EQ(AddGate(i % 256, address, 3), i);
    }
    EXPECT_EQ(AddGate(1, "ONE_MORE", 3), std::nullopt);
    std::uint32_t id = 0;
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, kMaxGateId % 256, "g65534", &id), kOk);
    EXPECT_EQ(id, kMaxGateId);
    EXPECT_EQ(Zel5PutGateVal(client, kMaxGateId, 2, 3.0, 0, 0), kOk);
}

TEST_F(ZelproTest, RecordingListsEveryCallInOrder) {
    const unsigned char client = MakeClient();
    const auto gate = AddGate(3, "I03P01", 5);
    ASSERT_TRUE(gate);
    SetTickMilliseconds(0);

    StartRecording();
    std::uint32_t id = 0;
    double value = 0;
    std::uint32_t slot = 0;
    EXPECT_EQ(Zel5GetGateIdByAddressStr(client, 3, "i03p01", &id), kOk);
    EXPECT_EQ(Zel5PutGateVal(client, id, 2, 7.0, 0, 0), kOk);
    EXPECT_EQ(Zel5GetGateVal(client, 16, 9, &value, nullptr, nullptr), kUnknownGate);
    EXPECT_EQ(Zel5SetPlcCommStatus(client, 3, 0, 1, 1), kOk);
    EXPECT_EQ(Zel5WaitMsg(client, nullptr, 1), 1);
    EXPECT_EQ(Zel5MkClient("VG_No_09", 1, 0, &slot), kOk);
    EXPECT_EQ(Zel5RmClient(client), kOk);
    const auto calls = TakeRecording();
    EXPECT_EQ(Zel5RmClient(static_cast<unsigned char>(slot)), kOk);  // not recorded any more

    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0].function, "Zel5GetGateIdByAddressStr");
    EXPECT_EQ(calls[0].vpi, 3u);
    EXPECT_EQ(calls[0].address, "i03p01");
    EXPECT_EQ(calls[0].gateId, *gate);
    EXPECT_EQ(calls[1].function, "Zel5PutGateVal");
    EXPECT_EQ(calls[1].client, client);
    EXPECT_EQ(calls[1].mode, 2);
    EXPECT_EQ(calls[1].value, 7.0);
    EXPECT_EQ(calls[1].status, kOk);
    EXPECT_EQ(calls[2].function, "Zel5GetGateVal");
    EXPECT_EQ(calls[2].mode, 16);
    EXPECT_EQ(calls[2].gateId, 9u);
    EXPECT_EQ(calls[2].status, kUnknownGate);
    EXPECT_EQ(calls[3].function, "Zel5SetPlcCommStatus");
    EXPECT_EQ(calls[4].function, "Zel5WaitMsg");
    EXPECT_EQ(calls[4].status, 1);
    EXPECT_EQ(calls[5].function, "Zel5MkClient");
    EXPECT_EQ(calls[5].address, "VG_No_09");
    EXPECT_EQ(calls[5].client, slot);
    EXPECT_EQ(calls[6].function, "Zel5RmClient");
    EXPECT_TRUE(TakeRecording().empty());
}

TEST_F(ZelproTest, ResetForgetsEverything) {
    const unsigned char client = MakeClient();
    ASSERT_TRUE(AddGate(1, "I01P01", 3));
    ASSERT_EQ(Zel5SetPlcCommStatus(client, 1, 0, 1, 1), kOk);
    InjectFault(Fault::MakeClient, -1);
    StartRecording();
    StartCapture();
    err(32, "kept until reset");

    Reset();
    EXPECT_TRUE(Gates().empty());
    EXPECT_TRUE(Clients().empty());
    EXPECT_EQ(CommStatusOf(1), std::nullopt);
    EXPECT_TRUE(TakeRecording().empty());
    EXPECT_TRUE(TakeCapture().empty());
    std::uint32_t slot = 0;
    EXPECT_EQ(Zel5MkClient("again", 1, 0, &slot), kOk);
    EXPECT_EQ(slot, 1u);
}

#if !defined(_WIN32)
// The driver's references to err and the Zel5* functions carry this version, so that the C
// library's err(3), which ends the process, can never be bound in their place.
TEST(ZelproExports, CFunctionsCarryTheirSymbolVersion) {
    void* library = dlopen("libzelpro.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    for (const char* name : {"Zel5MkClient", "Zel5WaitMsg", "Zel5RmClient",
                             "Zel5GetGateIdByAddressStr", "Zel5PutGateVal", "Zel5GetGateVal",
                             "Zel5SetPlcCommStatus", "err"}) {
        EXPECT_NE(dlvsym(library, name, "ZELPRO_5"), nullptr) << name;
    }
    EXPECT_EQ(dlvsym(library, "err", "ZELPRO_5"), reinterpret_cast<void*>(&err));
    dlclose(library);
}
#endif

}  // namespace
