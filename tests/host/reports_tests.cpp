// The report assembler: a driver thread's gate writes up to its next message wait are one
// report; the driver's reset (zeros, stream gate 0) is never a report.
#include <gtest/gtest.h>

#include <thread>

#include "reports.hpp"

using vpihost::ReportAssembler;

namespace {

std::vector<int> Params(const gateway::Report& r) {
    std::vector<int> params;
    for (const auto& v : r.values) params.push_back(v.param);
    return params;
}

}  // namespace

TEST(ReportAssembler, AReportEndsAtTheThreadsWaitAndKeepsOnlyPublishedGates) {
    ReportAssembler assembler;
    EXPECT_FALSE(assembler.OnWrite(3, 2, 1, true, 11, 100));
    EXPECT_FALSE(assembler.OnWrite(3, 2, 4, false, 2, 101));  // the host's own stream gate
    EXPECT_FALSE(assembler.OnWrite(3, 2, 7, true, 78.0752, 102));
    // Another thread's wait ends nothing of this one.
    std::thread([&] { EXPECT_FALSE(assembler.OnWait()); }).join();
    auto report = assembler.OnWait();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->vpi, 3);
    EXPECT_EQ(report->stream, 2);
    EXPECT_EQ(report->timeMs, 100);
    EXPECT_EQ(Params(*report), (std::vector<int>{1, 7}));
    EXPECT_EQ(report->values[1].value, 78.0752);
    EXPECT_EQ(report->values[1].timeMs, 102);
    EXPECT_FALSE(assembler.OnWait()) << "nothing written since";
}

TEST(ReportAssembler, WritesThatCannotBelongToTheReportUnderWayEndIt) {
    ReportAssembler assembler;
    assembler.OnWrite(1, 1, 4, true, 1, 1);
    assembler.OnWrite(1, 1, 5, true, 5.5, 1);
    auto ended = assembler.OnWrite(1, 2, 4, true, 2, 2);  // the next stream, no wait between
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->stream, 1);
    EXPECT_EQ(Params(*ended), (std::vector<int>{4, 5}));
    ended = assembler.OnWrite(1, 2, 4, true, 2, 3);  // the same gate again: a new report
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->stream, 2);
    ASSERT_TRUE(assembler.OnWait());
}

TEST(ReportAssembler, ZerosInTheStreamGateAreTheDriversResetNotAReport) {
    ReportAssembler assembler;
    for (int p = 1; p <= 9; ++p) assembler.OnWrite(4, 1, p, true, 0, 1);
    EXPECT_FALSE(assembler.OnWait());
    // A report that never wrote its stream gate is not whole either.
    assembler.OnWrite(4, 1, 5, true, 3.5, 2);
    EXPECT_FALSE(assembler.OnWait());
}
