// Several driver threads at once: each waits, looks gates up, writes values and logs, while the
// host's thread reads, captures and reconfigures. Meant to be run under the thread and address
// sanitizers as well; the counts at the end prove no write was lost.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <zelpro/zelpro.h>

#include "control.hpp"

namespace {

using namespace zelpro;

constexpr int kThreads = 6;
constexpr int kGatesPerThread = 20;
constexpr int kRounds = 300;

TEST(ZelproConcurrency, WritersLoggersAndAReaderTogether) {
    Reset();
    SetTickMilliseconds(0);
    std::atomic<std::uint64_t> hookCalls{0};
    SetGateWriteHook([&hookCalls](std::uint32_t, double) { hookCalls.fetch_add(1); });
    std::atomic<std::uint64_t> sinkLines{0};
    SetLogSink([&sinkLines](int, const std::string&) { sinkLines.fetch_add(1); });
    for (int vpi = 1; vpi <= kThreads; ++vpi) {
        for (int n = 1; n <= kGatesPerThread; ++n) {
            char address[16];
            std::snprintf(address, sizeof address, "i%.2dp%.2d", vpi, n);
            ASSERT_TRUE(AddGate(static_cast<unsigned>(vpi), address, 3));
        }
    }
    StartCapture();

    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int vpi = 1; vpi <= kThreads; ++vpi) {
        writers.emplace_back([vpi] {
            char name[16];
            std::snprintf(name, sizeof name, "VG_No_%.2d", vpi);
            std::uint32_t slot = 0;
            ASSERT_EQ(Zel5MkClient(name, 1, 0, &slot), kOk);
            const auto client = static_cast<unsigned char>(slot);
            unsigned char message[28];
            for (int round = 0; round < kRounds; ++round) {
                ASSERT_EQ(Zel5WaitMsg(client, message, 1), 1);
                for (int n = 1; n <= kGatesPerThread; ++n) {
                    char address[16];
                    std::snprintf(address, sizeof address, "I%.2dP%.2d", vpi, n);
                    std::uint32_t id = 0;
                    ASSERT_EQ(Zel5GetGateIdByAddressStr(client, static_cast<unsigned char>(vpi),
                                                        address, &id),
                              kOk);
                    ASSERT_EQ(Zel5PutGateVal(client, id, 2, round + n / 100.0, 0, 0), kOk);
                }
                err(round % 2 == 0 ? 8 : 32, "VpiVG: VPI %d round %d", vpi, round);
            }
            EXPECT_EQ(Zel5RmClient(client), kOk);
        });
    }
    std::thread reader([&done] {
        std::uint32_t slot = 0;
        ASSERT_EQ(Zel5MkClient("host", 1, 0, &slot), kOk);
        const auto client = static_cast<unsigned char>(slot);
        while (!done.load()) {
            for (const GateInfo& gate : Gates()) {
                double value = 0;
                ASSERT_EQ(Zel5GetGateVal(client, 16, gate.id, &value, nullptr, nullptr), kOk);
                ASSERT_GE(value, 0.0);
            }
            (void)PeekCapture();
            (void)Clients();
            ShowTrace(!Gates().empty() && Gates().front().writes % 2 == 0);
            ASSERT_TRUE(AddGate(99, "EXTRA", 3, 60000));
            ASSERT_TRUE(RemoveGate(60000));
        }
    });
    for (std::thread& writer : writers) {
        writer.join();
    }
    done.store(true);
    reader.join();

    const std::uint64_t expectedWrites = std::uint64_t{kThreads} * kGatesPerThread * kRounds;
    std::uint64_t writes = 0;
    for (const GateInfo& gate : Gates()) {
        EXPECT_EQ(gate.writes, std::uint64_t{kRounds}) << gate.address;
        EXPECT_DOUBLE_EQ(gate.value, kRounds - 1 + (gate.id % kGatesPerThread + 1) / 100.0);
        writes += gate.writes;
    }
    EXPECT_EQ(writes, expectedWrites);
    EXPECT_EQ(hookCalls.load(), expectedWrites);
    EXPECT_EQ(TakeCapture().size(), static_cast<std::size_t>(kThreads * kRounds));
    EXPECT_GE(sinkLines.load(), static_cast<std::uint64_t>(kThreads * kRounds / 2));
    Reset();
}

}  // namespace
