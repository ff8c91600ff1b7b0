// The shared command line: what a person types must parse as they meant it, and what is wrong
// must be named on stderr with status 2, never taken for something else.
#include <gtest/gtest.h>

#include <vector>

#include "cli.hpp"

using namespace vpitools;

namespace {

struct Parsed {
    std::optional<int> exit;
    std::string out;
    std::string err;
};

Parsed Parse(CLI::App& app, std::vector<const char*> args) {
    args.insert(args.begin(), "prog");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Parsed parsed;
    parsed.exit = ParseCommandLine(app, static_cast<int>(args.size()), args.data());
    parsed.out = testing::internal::GetCapturedStdout();
    parsed.err = testing::internal::GetCapturedStderr();
    return parsed;
}

struct Program {
    CLI::App app{"test program", "prog"};
    LineOptions line;
    CommonOptions common;
    Program() {
        AddLineOptions(app, line);
        AddCommonOptions(app, common, [] { return std::string("prog 1.2.3 (abcdef)"); });
    }
};

}  // namespace

TEST(ToolsCommandLine, LineOptionsTakeEitherSpellingOfAValue) {
    Program p;
    Parsed r = Parse(p.app, {"--port=COM1", "--baud", "19200", "--data-bits=7", "--parity", "E",
                             "--stop-bits", "1.5", "--read-timeout-ms", "250"});
    ASSERT_FALSE(r.exit) << r.err;
    EXPECT_EQ(p.line.port, "COM1");
    EXPECT_EQ(p.line.baud, 19200u);
    EXPECT_EQ(p.line.dataBits, 7);
    EXPECT_EQ(p.line.parity, Parity::Even);
    EXPECT_EQ(p.line.stopBits, StopBits::OnePointFive);
    EXPECT_EQ(p.line.readTimeoutMs, 250);
    EXPECT_EQ(Describe(p.line), "19200 7E1.5");

    Program q;
    ASSERT_FALSE(Parse(q.app, {"-p", "\\\\.\\COM12", "--parity=Mark"}).exit);
    EXPECT_EQ(q.line.port, "\\\\.\\COM12");
    EXPECT_EQ(q.line.parity, Parity::Mark);
    EXPECT_EQ(Describe(q.line), "9600 8M1") << "defaults are 9600 baud, 8 data bits, 1 stop bit";
}

TEST(ToolsCommandLine, CommonOptionsAndVersion) {
    Program p;
    Parsed r = Parse(p.app, {"--duration=2.5", "--quiet", "--plain", "--log", "run.log"});
    ASSERT_FALSE(r.exit) << r.err;
    EXPECT_DOUBLE_EQ(p.common.duration, 2.5);
    EXPECT_TRUE(p.common.quiet);
    EXPECT_TRUE(p.common.plain);
    EXPECT_EQ(p.common.logPath, "run.log");

    Program v;
    r = Parse(v.app, {"--version"});
    ASSERT_TRUE(r.exit);
    EXPECT_EQ(*r.exit, 0);
    EXPECT_EQ(r.out, "prog 1.2.3 (abcdef)\n");
    EXPECT_EQ(r.err, "");

    Program h;
    r = Parse(h.app, {"--help"});
    ASSERT_TRUE(r.exit);
    EXPECT_EQ(*r.exit, 0);
    EXPECT_NE(r.out.find("--read-timeout-ms"), std::string::npos);
}

TEST(ToolsCommandLine, WhatWasNotExpectedIsNamedInTheOrderTyped) {
    struct Case {
        std::vector<const char*> args;
        const char* said;
    };
    const Case cases[] = {
        {{"--prot", "COM1"}, "unknown option --prot"},
        {{"--prot", "COM1", "--bad", "2"}, "unknown options --prot, --bad"},
        {{"stray", "words"}, "unexpected arguments stray, words"},
        {{"--port"}, "--port needs a value"},
    };
    for (const Case& c : cases) {
        Program p;
        Parsed r = Parse(p.app, c.args);
        ASSERT_TRUE(r.exit) << c.said;
        EXPECT_EQ(*r.exit, 2);
        EXPECT_EQ(r.err, std::string("prog: ") + c.said + "\nRun 'prog --help' for the options.\n");
    }
}

TEST(ToolsCommandLine, MistakesAreNamedOnStderrWithStatus2) {
    struct Case {
        std::vector<const char*> args;
        const char* named;  // what the message must mention
    };
    const Case cases[] = {
        {{"--prot", "COM1"}, "--prot"},
        {{"--port"}, "--port"},
        {{"--baud", "fast"}, "fast"},
        {{"--baud", "10"}, "--baud"},
        {{"--data-bits", "9"}, "--data-bits"},
        {{"--parity", "sometimes"}, "sometimes"},
        {{"--stop-bits", "3"}, "--stop-bits"},
        {{"--duration", "-1"}, "--duration"},
        {{"stray"}, "stray"},
    };
    for (const Case& c : cases) {
        Program p;
        Parsed r = Parse(p.app, c.args);
        ASSERT_TRUE(r.exit) << c.named;
        EXPECT_EQ(*r.exit, 2) << c.named;
        EXPECT_EQ(r.out, "") << c.named;
        EXPECT_EQ(r.err.rfind("prog: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    }
}
