// The simulator's serial line through the platform layer, on a real (pseudo-)terminal pair on
// both systems: bytes go both ways at the line settings asked for, a read waits no longer than
// asked, and a line that will not open says which device and why.
#include <gtest/gtest.h>

#include <chrono>

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
