// Handles, events and threads: stale handles refused, closes from other threads, waits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform.hpp"
#include "platform_testing.hpp"
#include "testline.hpp"

using namespace platform_testing;

namespace {

// Every call a driver may make on `handle`, all of which must refuse it.
void ExpectRefusedEverywhere(HANDLE handle) {
    char buffer[4] = {};
    DWORD moved = 0;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    COMSTAT stat{};
    DWORD errors = 0;
    EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &moved, nullptr));
    EXPECT_EQ(0u, moved);
    EXPECT_FALSE(WriteFile(handle, "x", 1, &moved, nullptr));
    EXPECT_FALSE(GetCommState(handle, &dcb));
    EXPECT_FALSE(SetCommState(handle, &dcb));
    EXPECT_FALSE(GetCommTimeouts(handle, &timeouts));
    EXPECT_FALSE(SetCommTimeouts(handle, &timeouts));
    EXPECT_FALSE(SetupComm(handle, 1200, 1200));
    EXPECT_FALSE(ClearCommError(handle, &errors, &stat));
    EXPECT_FALSE(SetCommBreak(handle));
    EXPECT_FALSE(ClearCommBreak(handle));
    EXPECT_FALSE(SetEvent(handle));
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(handle, 0));
    EXPECT_FALSE(CloseHandle(handle));
}

TEST(HandleTest, ValuesThatAreNoHandleAreRefused) {
    const int handles = PlatformOpenHandleCount();
    for (std::uintptr_t value : {std::uintptr_t{0}, std::uintptr_t{1}, std::uintptr_t{0x10001},
                                 std::uintptr_t{0xFFFF}, std::uintptr_t{0x12345678},
                                 ~std::uintptr_t{0}, ~std::uintptr_t{0} - 1}) {
        SCOPED_TRACE(value);
        ExpectRefusedEverywhere(reinterpret_cast<HANDLE>(value));
    }
    EXPECT_EQ(handles, PlatformOpenHandleCount());
}

TEST(HandleTest, ClosedEventIsRefusedEvenAfterItsSlotIsReused) {
    const int handles = PlatformOpenHandleCount();
    HANDLE first = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    EXPECT_EQ(handles + 1, PlatformOpenHandleCount());
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_EQ(handles, PlatformOpenHandleCount());
    ExpectRefusedEverywhere(first);

    // The table hands out the lowest free slot, so this one takes the slot `first` had.
    HANDLE second = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    ExpectRefusedEverywhere(first);
    // ...and the refusals did not touch the new occupant.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(second, 0));
    EXPECT_TRUE(SetEvent(second));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_EQ(handles, PlatformOpenHandleCount());
}

TEST(HandleTest, ClosedPortIsRefusedEvenAfterItsSlotIsReused) {
    std::string why;
    auto line = TestLine::Open(&why);
    if (!line) GTEST_SKIP() << why;
    const int descriptors = OpenDescriptors();
    HANDLE first = Open(line->DeviceName());
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_EQ(descriptors, OpenDescriptors()) << "the close gave the descriptors back";
    ExpectRefusedEverywhere(first);

    HANDLE second = Open(line->DeviceName());
    ASSERT_NE(INVALID_HANDLE_VALUE, second);
    EXPECT_NE(first, second);
    ExpectRefusedEverywhere(first);
    ASSERT_TRUE(SetReadTimeout(second, 1000));
    ASSERT_TRUE(line->Write("z"));
    char byte = 0;
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(second, &byte, 1, &got, nullptr));
    EXPECT_EQ(1u, got);
    EXPECT_TRUE(CloseHandle(second));
}

TEST(HandleTest, CallsOfTheWrongKindAreRefused) {
    std::string why;
    auto line = TestLine::Open(&why);
    if (!line) GTEST_SKIP() << why;
    HANDLE port = Open(line->DeviceName());
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(nullptr, event);

    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(port, 0));
    EXPECT_FALSE(SetEvent(port));
    char buffer[2];
    DWORD moved = 0;
    DCB dcb{};
    COMSTAT stat{};
    EXPECT_FALSE(ReadFile(event, buffer, 1, &moved, nullptr));
    EXPECT_FALSE(WriteFile(event, "x", 1, &moved, nullptr));
    EXPECT_FALSE(GetCommState(event, &dcb));
    EXPECT_FALSE(ClearCommError(event, nullptr, &stat));
    // The refusals left both intact.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_TRUE(GetCommState(port, &dcb));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(port));
}

TEST(HandleTest, CloseFromAnotherThreadEndsABlockedRead) {
    std::string why;
    auto line = TestLine::Open(&why);
    if (!line) GTEST_SKIP() << why;
    const int descriptors = OpenDescriptors();
    const int handles = PlatformOpenHandleCount();
    // Several rounds, closing at different moments: before, during and after the wait starts.
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        HANDLE port = Open(line->DeviceName());
        ASSERT_NE(INVALID_HANDLE_VALUE, port);
        ASSERT_TRUE(SetReadTimeout(port, 10000));
        std::atomic<bool> done{false};
        BOOL result = TRUE;
        long long took = 0;
        std::thread reader([&] {
            char byte;
            DWORD got = 0;
            Stopwatch watch;
            result = ReadFile(port, &byte, 1, &got, nullptr);
            took = watch.Ms();
            done = true;
        });
        SleepMs(round * 10);
        EXPECT_TRUE(CloseHandle(port));
        reader.join();
        EXPECT_TRUE(done);
        EXPECT_FALSE(result);
        EXPECT_LT(took, 5000) << "the close must end the wait, not the timeout";
        // The last user out released the descriptors, and the device is free again.
        EXPECT_EQ(handles, PlatformOpenHandleCount());
        EXPECT_EQ(descriptors, OpenDescriptors());
    }
    HANDLE again = Open(line->DeviceName());
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    EXPECT_TRUE(CloseHandle(again));
}

TEST(HandleTest, CloseFromAnotherThreadEndsABlockedWrite) {
    std::string why;
    auto line = TestLine::Open(&why);
    if (!line) GTEST_SKIP() << why;
    HANDLE port = Open(line->DeviceName());
    ASSERT_NE(INVALID_HANDLE_VALUE, port);
    // Far more than the terminal buffers while nobody reads the far end: the write blocks.
    std::vector<char> lots(4 << 20, 'w');
    BOOL result = TRUE;
    DWORD written = 0;
    std::thread writer([&] {
        result = WriteFile(port, lots.data(), static_cast<DWORD>(lots.size()), &written, nullptr);
    });
    SleepMs(100);
    EXPECT_TRUE(CloseHandle(port));
    writer.join();
    EXPECT_FALSE(result);
    EXPECT_LT(written, lots.size());
}

TEST(HandleTest, CreatingAndClosingRacesWithUseOfStaleHandles) {
    const int handles = PlatformOpenHandleCount();
    std::atomic<HANDLE> latest{nullptr};
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (int i = 0; i < 2000; ++i) {
            HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            latest = event;
            CloseHandle(event);
        }
        stop = true;
    });
    std::thread user([&] {
        while (!stop) {
            HANDLE event = latest;
            SetEvent(event);
            WaitForSingleObject(event, 0);
        }
    });
    churn.join();
    user.join();
    EXPECT_EQ(handles, PlatformOpenHandleCount());
}

TEST(EventTest, CreatedSignalledAndAutoResetConsumesTheSignal) {
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event));  // signals do not add up
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 100));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    EXPECT_TRUE(CloseHandle(event));
}

TEST(EventTest, WaitTimesOutAfterItsTime) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    Stopwatch watch;
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 120));
    EXPECT_GE(watch.Ms(), 115);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(EventTest, SetFromAnotherThreadWakesExactlyOneWaiter) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    std::atomic<int> woken{0};
    std::atomic<int> timedOut{0};
    auto wait = [&] {
        const DWORD result = WaitForSingleObject(event, 600);
        (result == WAIT_OBJECT_0 ? woken : timedOut)++;
    };
    std::thread a(wait);
    std::thread b(wait);
    SleepMs(100);
    EXPECT_TRUE(SetEvent(event));
    a.join();
    b.join();
    EXPECT_EQ(1, woken.load());
    EXPECT_EQ(1, timedOut.load());

    std::thread forever([&] { EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, INFINITE)); });
    SleepMs(50);
    EXPECT_TRUE(SetEvent(event));
    forever.join();
    EXPECT_TRUE(CloseHandle(event));
}

TEST(EventTest, ManualResetStaysSignalled) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    std::atomic<int> woken{0};
    std::thread a([&] { woken += WaitForSingleObject(event, 2000) == WAIT_OBJECT_0; });
    std::thread b([&] { woken += WaitForSingleObject(event, 2000) == WAIT_OBJECT_0; });
    SleepMs(50);
    EXPECT_TRUE(SetEvent(event));
    a.join();
    b.join();
    EXPECT_EQ(2, woken.load());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    EXPECT_TRUE(CloseHandle(event));
}

TEST(EventTest, CloseFromAnotherThreadFailsABlockedWait) {
    const int handles = PlatformOpenHandleCount();
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    DWORD result = WAIT_OBJECT_0;
    long long took = 0;
    std::thread waiter([&] {
        Stopwatch watch;
        result = WaitForSingleObject(event, INFINITE);
        took = watch.Ms();
    });
    SleepMs(50);
    EXPECT_TRUE(CloseHandle(event));
    waiter.join();
    EXPECT_EQ(WAIT_FAILED, result);
    EXPECT_LT(took, 5000);
    EXPECT_EQ(handles, PlatformOpenHandleCount());
}

struct ThreadProbe {
    std::atomic<void*> seen{nullptr};
    std::atomic<int> depth{0};
};

void ProbeProcedure(void* argument) {
    auto* probe = static_cast<ThreadProbe*>(argument);
    // Use a fair part of the 32 KiB the driver asks for.
    volatile char scratch[8192];
    std::memset(const_cast<char*>(scratch), 1, sizeof scratch);
    probe->depth = scratch[100];
    probe->seen = argument;
}

TEST(ThreadTest, BeginThreadRunsTheProcedureWithItsArgument) {
    // Static: the detached threads may still be on their way out when the test ends.
    static ThreadProbe probes[3];
    const unsigned stacks[3] = {32768u, 0u, 1u};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(stacks[i]);
        ThreadProbe& probe = probes[i];
        const std::uintptr_t thread = _beginthread(ProbeProcedure, stacks[i], &probe);
        ASSERT_NE(static_cast<std::uintptr_t>(-1), thread);
        ASSERT_TRUE(WaitFor([&] { return probe.seen.load() != nullptr; }, 3000));
        EXPECT_EQ(&probe, probe.seen.load());
        EXPECT_EQ(1, probe.depth.load());
    }
    EXPECT_EQ(static_cast<std::uintptr_t>(-1), _beginthread(nullptr, 32768, nullptr));
}

TEST(ThreadTest, SleepSleepsAtLeastItsTime) {
    Stopwatch watch;
    Sleep(60);
    EXPECT_GE(watch.Ms(), 59);
    Sleep(0);
}

}  // namespace
