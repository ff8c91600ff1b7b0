// Zel5WaitMsg: the pace of every driver thread, and the only way the host stops one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>
#include <thread>

#include <zelpro/zelpro.h>

#include "control.hpp"

namespace {

using namespace zelpro;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Far longer than any test may take: a waiter that returns early was woken, not timed out.
constexpr unsigned kLongTick = 60000;

class WaitMsgTest : public ::testing::Test {
protected:
    void SetUp() override {
        Reset();
        std::uint32_t slot = 0;
        ASSERT_EQ(Zel5MkClient("VG_No_01", 1, 0, &slot), kOk);
        client = static_cast<unsigned char>(slot);
    }
    void TearDown() override { Reset(); }

    // Starts a waiter on another thread and waits until it is (very likely) inside the wait.
    std::future<unsigned short> WaitOnThread() {
        std::promise<void> started;
        auto ready = started.get_future();
        auto result = std::async(std::launch::async, [this, started = std::move(started)]() mutable {
            started.set_value();
            unsigned char message[28];
            return Zel5WaitMsg(client, message, 1);
        });
        ready.wait();
        std::this_thread::sleep_for(milliseconds(50));
        return result;
    }

    unsigned char client = 0;
};

TEST_F(WaitMsgTest, ReturnsOneAfterEachTickAndClearsTheMessage) {
    const auto begin = Clock::now();
    SetTickMilliseconds(30);
    unsigned char message[28];
    std::memset(message, 0xAB, sizeof message);
    EXPECT_EQ(Zel5WaitMsg(client, message, 1), 1);
    const auto firstTick = Clock::now();
    EXPECT_EQ(Zel5WaitMsg(client, nullptr, 1), 1);
    // The tick set is whole from the moment it is set, and a wait begun on a tick lasts one.
    EXPECT_GE(firstTick - begin, milliseconds(30));
    EXPECT_GE(Clock::now() - begin, milliseconds(60));
    for (unsigned char byte : message) {
        EXPECT_EQ(byte, 0);
    }
}

TEST_F(WaitMsgTest, TickOfZeroReturnsAtOnce) {
    SetTickMilliseconds(0);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(Zel5WaitMsg(client, nullptr, 1), 1);
    }
}

TEST_F(WaitMsgTest, AClientThatWorkedTheDatabaseIsServedAgainAtOnceButNotForEver) {
    constexpr unsigned kTick = 300;
    constexpr milliseconds kAtOnce{kTick - 50};
    const auto tickSet = Clock::now();
    SetTickMilliseconds(kTick);
    const auto gate = AddGate(1, "I05P01", 3);
    ASSERT_TRUE(gate);
    auto timed = [this] {
        const auto begin = Clock::now();
        EXPECT_EQ(Zel5WaitMsg(client, nullptr, 1), 1);
        return Clock::now() - begin;
    };

    // A backlog of reports: every iteration looks up and writes gates.
    const auto burst = Clock::now();
    for (int i = 0; i < 64; ++i) {
        std::uint32_t id = 0;
        ASSERT_EQ(Zel5GetGateIdByAddressStr(client, 1, "I05P01", &id), kOk);
        ASSERT_EQ(Zel5PutGateVal(client, id, 2, i, 0, 0), kOk);
        ASSERT_EQ(Zel5WaitMsg(client, nullptr, 1), 1);
    }
    EXPECT_LT(Clock::now() - burst, kAtOnce);
    // A client that never stops working still waits for a tick now and then: the burst took
    // less than a tick, so the wait ends on the first tick after the tick was set.
    ASSERT_EQ(Zel5PutGateVal(client, *gate, 2, 1.0, 0, 0), kOk);
    timed();
    EXPECT_GE(Clock::now() - tickSet, milliseconds(kTick));
    // After that tick the allowance is whole again; a lookup that finds nothing is work too.
    std::uint32_t id = 0;
    ASSERT_EQ(Zel5GetGateIdByAddressStr(client, 1, "I05P77", &id), kNoSuchAddress);
    EXPECT_LT(timed(), kAtOnce);
    // An iteration with nothing to publish: back to one return per tick (the second tick).
    timed();
    EXPECT_GE(Clock::now() - tickSet, milliseconds(2 * kTick));

    // Work left pending never outweighs a stop.
    ASSERT_EQ(Zel5PutGateVal(client, *gate, 2, 2.0, 0, 0), kOk);
    ASSERT_TRUE(StopClient(client));
    EXPECT_EQ(Zel5WaitMsg(client, nullptr, 1), 0);
}

TEST_F(WaitMsgTest, ClientsThatBeganWaitingApartAreAnsweredOnTheSameTick) {
    // Waits on timers of their own would end 150 ms apart; on the host's clock they end on its
    // next tick together, and many VPIs cost one wake-up a tick instead of one each.
    constexpr unsigned kTick = 1000;
    std::uint32_t second = 0;
    ASSERT_EQ(Zel5MkClient("VG_No_02", 1, 0, &second), kOk);
    SetTickMilliseconds(kTick);
    auto answeredAt = [](unsigned char id) {
        return std::async(std::launch::async, [id] {
            EXPECT_EQ(Zel5WaitMsg(id, nullptr, 1), 1);
            return Clock::now();
        });
    };
    auto early = answeredAt(client);
    std::this_thread::sleep_for(milliseconds(150));
    auto late = answeredAt(static_cast<unsigned char>(second));
    const auto first = early.get();
    const auto other = late.get();
    EXPECT_LT(first > other ? first - other : other - first, milliseconds(100));
}

TEST_F(WaitMsgTest, StopWakesAWaiterAtOnceAndSticks) {
    SetTickMilliseconds(kLongTick);
    auto waiting = WaitOnThread();
    const auto stopAt = Clock::now();
    EXPECT_TRUE(StopClient(client));
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_LT(Clock::now() - stopAt, std::chrono::seconds(10));

    // From then on, without waiting, until the client is removed.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Zel5WaitMsg(client, nullptr, 1), 0);
    }
    ASSERT_EQ(Clients().size(), 1u);
    EXPECT_TRUE(Clients()[0].stopping);
    EXPECT_EQ(Zel5RmClient(client), kOk);
    EXPECT_TRUE(Clients().empty());
}

TEST_F(WaitMsgTest, StopAllClientsStopsEveryWaiterButNotLaterClients) {
    SetTickMilliseconds(kLongTick);
    std::uint32_t second = 0;
    ASSERT_EQ(Zel5MkClient("VG_No_02", 1, 0, &second), kOk);
    auto first = WaitOnThread();
    auto other = std::async(std::launch::async, [second] {
        return Zel5WaitMsg(static_cast<unsigned char>(second), nullptr, 1);
    });
    std::this_thread::sleep_for(milliseconds(50));
    StopAllClients();
    ASSERT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(other.get(), 0);

    std::uint32_t third = 0;
    ASSERT_EQ(Zel5MkClient("VG_No_03", 1, 0, &third), kOk);
    SetTickMilliseconds(0);
    EXPECT_EQ(Zel5WaitMsg(static_cast<unsigned char>(third), nullptr, 1), 1);
}

TEST_F(WaitMsgTest, RemovalAndResetWakeAWaiterWithZero) {
    SetTickMilliseconds(kLongTick);
    auto removed = WaitOnThread();
    EXPECT_EQ(Zel5RmClient(client), kOk);
    ASSERT_EQ(removed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(removed.get(), 0);

    std::uint32_t slot = 0;
    ASSERT_EQ(Zel5MkClient("VG_No_01", 1, 0, &slot), kOk);
    client = static_cast<unsigned char>(slot);
    SetTickMilliseconds(kLongTick);
    auto reset = WaitOnThread();
    Reset();  // must not wait for the waiter's tick
    ASSERT_EQ(reset.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reset.get(), 0);
}

TEST_F(WaitMsgTest, UnknownClientsAreToldToStop) {
    SetTickMilliseconds(kLongTick);
    // Answering 1 here would keep a driver thread spinning on a client that does not exist.
    EXPECT_EQ(Zel5WaitMsg(0, nullptr, 1), 0);
    EXPECT_EQ(Zel5WaitMsg(255, nullptr, 1), 0);
    EXPECT_EQ(Zel5WaitMsg(static_cast<unsigned char>(client + 1), nullptr, 1), 0);
    EXPECT_FALSE(StopClient(0));
    EXPECT_FALSE(StopClient(static_cast<unsigned char>(client + 1)));
}

TEST_F(WaitMsgTest, ManyClientsWaitAndStopIndependently) {
    SetTickMilliseconds(5);
    constexpr int kClients = 128;
    std::vector<unsigned char> ids;
    for (int i = 0; i < kClients - 1; ++i) {
        std::uint32_t slot = 0;
        ASSERT_EQ(Zel5MkClient("VPI", 1, 0, &slot), kOk);
        ids.push_back(static_cast<unsigned char>(slot));
    }
    ids.push_back(client);
    std::vector<std::future<int>> loops;
    for (unsigned char id : ids) {
        loops.push_back(std::async(std::launch::async, [id] {
            int ticks = 0;
            unsigned char message[28];
            while (Zel5WaitMsg(id, message, 1) != 0) {
                ++ticks;
            }
            Zel5RmClient(id);
            return ticks;
        }));
    }
    std::this_thread::sleep_for(milliseconds(100));
    // Stop half, then the rest: each loop ends only when its own client is stopped.
    for (int i = 0; i < kClients; i += 2) {
        ASSERT_TRUE(StopClient(ids[static_cast<std::size_t>(i)]));
    }
    for (int i = 0; i < kClients; i += 2) {
        ASSERT_EQ(loops[static_cast<std::size_t>(i)].wait_for(std::chrono::seconds(20)),
                  std::future_status::ready);
    }
    EXPECT_EQ(Clients().size(), static_cast<std::size_t>(kClients / 2));
    StopAllClients();
    for (auto& loop : loops) {
        ASSERT_EQ(loop.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        loop.get();
    }
    EXPECT_TRUE(Clients().empty());
}

}  // namespace

// The wait hook tells the host where a driver thread's report ends: it runs on the waiting
// thread, before the wait, for every wait, and may use the control API; Reset removes it.
TEST_F(WaitMsgTest, TheWaitHookRunsOnTheWaitersThreadBeforeEachWait) {
    SetTickMilliseconds(0);
    std::vector<std::pair<unsigned char, std::thread::id>> seen;
    std::mutex seenMutex;
    SetClientWaitHook([&](unsigned char id) {
        ASSERT_FALSE(Clients().empty());  // the control API is usable from the hook
        std::lock_guard lock(seenMutex);
        seen.emplace_back(id, std::this_thread::get_id());
    });
    std::thread::id waiter;
    std::thread([&] {
        waiter = std::this_thread::get_id();
        EXPECT_EQ(Zel5WaitMsg(client, nullptr, 1), 1);
        EXPECT_EQ(Zel5WaitMsg(client, nullptr, 1), 1);
    }).join();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(client, waiter));
    // A throwing hook is contained; the wait still answers.
    SetClientWaitHook([](unsigned char) { throw std::runtime_error("hook"); });
    EXPECT_EQ(Zel5WaitMsg(client, nullptr, 1), 1);

    SetClientWaitHook([&](unsigned char id) { seen.emplace_back(id, std::this_thread::get_id()); });
    Reset();
    std::uint32_t slot = 0;
    ASSERT_EQ(Zel5MkClient("VG_No_01", 1, 0, &slot), kOk);
    EXPECT_EQ(Zel5WaitMsg(static_cast<unsigned char>(slot), nullptr, 1), 1);
    EXPECT_EQ(seen.size(), 2u);
    SetClientWaitHook({});
}
