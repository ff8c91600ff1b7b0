// The simulator's serial line through the platform layer, on a real (pseudo-)terminal pair on
// both systems: bytes go both ways at the line settings asked for, a read waits no longer than
// asked, and a line that will not open says which device and why. On native, the bare
// descriptor line keeps its write timeout.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "ports.hpp"
#include "simcore.hpp"
#include "testline.hpp"

using namespace vpisim;

TEST(SimSerialLine, CarriesBytesBothWaysAndWaitsNoLongerThanAsked) {
    std::string why;
    auto far = TestLine::Open(&why);
    if (!far) GTEST_SKIP() << why;
    vpitools::LineOptions options;
    options.port = far->DeviceName();
    options.baud = 19200;
    options.parity = vpitools::Parity::Even;
    options.dataBits = 7;
    auto line = OpenSerialLine(options, &why);
    ASSERT_TRUE(line) << why;

    ASSERT_TRUE(line->Write("a;1;01;02\n\r"));
    EXPECT_EQ(far->Read(11, 2000), "a;1;01;02\n\r");

    ASSERT_TRUE(far->Write("@;390\n\r"));
    std::string got;
    for (int i = 0; i < 40 && got.size() < 7; ++i) got += line->Read(512, 50);
    EXPECT_EQ(got, "@;390\n\r");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(line->Read(512, 200), "");
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 0.15);
    EXPECT_LT(waited, 1.0);
    EXPECT_EQ(line->Lost(), "") << "a quiet line is not a lost one";
}

TEST(SimSerialLine, APortThatWillNotOpenNamesItselfAndTheReason) {
    vpitools::LineOptions options;
    options.port = "COM199";
    std::string why;
    EXPECT_FALSE(OpenSerialLine(options, &why));
    EXPECT_EQ(why.rfind("cannot open COM199", 0), 0u) << why;
    EXPECT_NE(why.find(": "), std::string::npos) << why;
    EXPECT_GT(why.size(), std::string("cannot open COM199: ").size()) << "a reason follows";
}

#if !defined(_WIN32)
// A pseudo-terminal whose far end nobody reads: a write gives up at the line's write timeout,
// and a stop ends a waiting write at once, so the simulator's stop is never held by it.
TEST(SimDescriptorLine, AWriteNobodyTakesEndsAtItsTimeoutOrAtAStop) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    // Unblocks a write that hangs (the fault this guards against), so the test can fail
    // rather than hang.
    std::atomic<bool> finished{false};
    std::thread reader([&] {
        for (int waited = 0; waited < 20000 && !finished; waited += 10) SleepMs(10);
        char sink[4096];
        fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
        while (!finished) {
            if (read(slave, sink, sizeof sink) <= 0) SleepMs(5);
        }
    });
    using Clock = std::chrono::steady_clock;
    const std::string lots(1 << 20, 'x');  // far more than the terminal's buffer holds
    {
        auto line = MakeDescriptorLine(master, 400);
        const auto start = Clock::now();
        EXPECT_FALSE(line->Write(lots));
        const double waited = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GE(waited, 0.35);
        EXPECT_LT(waited, 2.0);
    }
    {
        auto line = MakeDescriptorLine(master);  // the full 5 s
        SimOptions options;
        options.intervalMs = 10;
        options.lastParameter = 95;
        Simulator sim(*line, options);
        sim.Start();
        // The terminal is already full: the first report waits.
        SleepMs(300);
        const auto start = Clock::now();
        sim.Stop();
        const double waited = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_LT(waited, 1.0) << "the stop waited for a write nobody takes";
        EXPECT_GE(sim.ReportsUnwritten(), 1u);
    }
    finished = true;
    reader.join();
    close(master);
    close(slave);
}
#endif
