// Several driver threads at once: each waits, looks gates up, writes values and logs, while the
// host's thread reads, captures and reconfigures. Meant to be run under the thread and address
// sanitizers as well; the counts at the end prove no write was lost.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
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

// A callback that holds its call until told to go on, and says whether that call has ended.
struct HeldCall {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    bool finished = false;

    void Run() {
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [this] { return released; });
        finished = true;
    }
    void AwaitEntered() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return entered; });
    }
    void Release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    bool Finished() {
        std::lock_guard lock(mutex);
        return finished;
    }
};

// The host clears the sink and the gate-write hook as it stops, and then goes away with
// everything they refer to; a driver thread still inside one of them must have left it first.
// `call` enters the installed callback on a driver thread, `clear` takes it away.
template <typename Call, typename Clear>
void ClearingWaitsForTheCallInFlight(Call call, Clear clear, HeldCall& held) {
    std::thread driver(call);
    held.AwaitEntered();
    bool finishedWhenCleared = false;
    std::thread host([&] {
        clear();
        finishedWhenCleared = held.Finished();
    });
    // Give the clearing every chance to return early, then let the call end.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    held.Release();
    host.join();
    driver.join();
    EXPECT_TRUE(finishedWhenCleared) << "cleared while a call was still inside";
}

TEST(ZelproConcurrency, ClearingTheSinkOrTheHookWaitsForCallsInFlight) {
    Reset();
    {
        SCOPED_TRACE("log sink");
        HeldCall held;
        SetLogSink([&held](int, const std::string&) { held.Run(); });
        ClearingWaitsForTheCallInFlight([] { err(32, "VpiVG: a late line"); },
                                        [] { SetLogSink(nullptr); }, held);
    }
    {
        SCOPED_TRACE("gate-write hook");
        const auto gate = AddGate(1, "I01P01", 3);
        ASSERT_TRUE(gate);
        std::uint32_t slot = 0;
        ASSERT_EQ(Zel5MkClient("VG_No_01", 1, 0, &slot), kOk);
        HeldCall held;
        SetGateWriteHook([&held](std::uint32_t, double) { held.Run(); });
        ClearingWaitsForTheCallInFlight(
            [&] {
                EXPECT_EQ(Zel5PutGateVal(static_cast<unsigned char>(slot), *gate, 2, 1.0, 0, 0),
                          kOk);
            },
            [] { SetGateWriteHook(nullptr); }, held);
    }
    {
        // A sink that takes itself away cannot wait for its own call, and must not try.
        SetLogSink([](int, const std::string&) { SetLogSink(nullptr); });
        ::testing::internal::CaptureStderr();
        err(32, "first");
        err(32, "second");
        EXPECT_EQ("[32] second\n", ::testing::internal::GetCapturedStderr());
    }
    Reset();
}

}  // namespace
