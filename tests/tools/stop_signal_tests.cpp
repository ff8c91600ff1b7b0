// The stop as the signal and console handlers drive it: a first request, a second that means
// "now", and a console that is going away holding the process until the orderly stop is done.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "stop_signal.hpp"

namespace {

using namespace std::chrono_literals;
using vpitools::StopState;

TEST(StopState, TheFirstRequestAsksTheLaterOnesSayAStopWasAskedAlready) {
    StopState stop;
    EXPECT_FALSE(stop.Flag());
    EXPECT_FALSE(stop.Request());
    EXPECT_TRUE(stop.Flag());
    EXPECT_TRUE(stop.Request()) << "a second Ctrl-C must be told from the first";
}

TEST(StopState, AClosingConsoleWaitsUntilTheOrderlyStopIsDone) {
    StopState stop;
    std::atomic<bool> returned{false};
    bool inTime = false;
    std::thread handler([&] {
        inTime = stop.RequestAndAwaitFinish(30s);
        returned = true;
    });
    // The stop is asked for at once; the handler stays until the main thread says it is done.
    ASSERT_TRUE(vpitools::WaitFor(stop.Flag(), 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(returned) << "returning lets Windows end the process with the stop half done";
    stop.NoteFinished();
    handler.join();
    EXPECT_TRUE(inTime);

    // Done before the console went: no wait at all.
    EXPECT_TRUE(stop.RequestAndAwaitFinish(0ms));
}

TEST(StopState, AStopThatDoesNotFinishIsWaitedForOnlyTheTimeGiven) {
    StopState stop;
    EXPECT_FALSE(stop.RequestAndAwaitFinish(50ms));
    EXPECT_TRUE(stop.Flag());
}

}  // namespace
