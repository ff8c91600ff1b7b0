// err and the host log: formatting, the level filter, capture and the sink.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include <zelpro/zelpro.h>

#include "control.hpp"

namespace {

using namespace zelpro;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Reset();
        SetLogSink([this](int level, const std::string& text) {
            std::lock_guard lock(mutex);
            shown.push_back(LogLine{level, text});
        });
    }
    void TearDown() override { Reset(); }

    std::vector<LogLine> Shown() {
        std::lock_guard lock(mutex);
        return shown;
    }

    std::mutex mutex;
    std::vector<LogLine> shown;
};

TEST_F(LogTest, FormatsLikePrintfAndReturnsTheLength) {
    EXPECT_EQ(err(32, "VpiVG: VPI %d Start Report-By-Exception Thread", 3), 45);
    // A hidden trace line that no capture wants is not even formatted.
    EXPECT_EQ(err(8, "Buf[%d] = %x(h)", 2, 0x0A), 0);
    StartCapture();
    EXPECT_EQ(err(8, "Buf[%d] = %x(h)", 2, 0x0A), 13);
    const auto kept = TakeCapture();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].text, "Buf[2] = a(h)");
    EXPECT_EQ(err(32, "I%.2dP%.2d %s", 3, 7, "ok"), 9);
    EXPECT_EQ(err(32, ""), 0);
    const auto lines = Shown();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "VpiVG: VPI 3 Start Report-By-Exception Thread");
    EXPECT_EQ(lines[0].level, 32);
    EXPECT_EQ(lines[1].text, "I03P07 ok");
    EXPECT_EQ(lines[2].text, "");
}

TEST_F(LogTest, ShowsTheByteTraceOnlyOnRequest) {
    err(0, "failed packet");
    err(8, "trace hidden");
    err(32, "info");
    err(16, "other level");
    err(-1, "negative level");
    ShowTrace(true);
    err(8, "trace shown");
    ShowTrace(false);
    err(8, "trace hidden again");

    std::vector<std::string> texts;
    for (const LogLine& line : Shown()) {
        texts.push_back(std::to_string(line.level) + ":" + line.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"0:failed packet", "32:info", "16:other level",
                                               "-1:negative level", "8:trace shown"}));
}

TEST_F(LogTest, CaptureKeepsEveryLevelUntilTaken) {
    err(32, "before capture");
    StartCapture();
    err(8, "trace %d", 1);
    err(0, "zero");
    err(32, "info");
    const auto peeked = PeekCapture();
    err(32, "after peek");
    const auto taken = TakeCapture();
    err(32, "after take");

    ASSERT_EQ(peeked.size(), 3u);
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ(taken[0].level, 8);
    EXPECT_EQ(taken[0].text, "trace 1");
    EXPECT_EQ(taken[3].text, "after peek");
    EXPECT_TRUE(TakeCapture().empty());
    // Capture does not keep the lines from being shown (all but the trace line are).
    EXPECT_EQ(Shown().size(), 5u);

    StartCapture();
    err(32, "fresh");
    ASSERT_EQ(PeekCapture().size(), 1u);
    EXPECT_EQ(PeekCapture()[0].text, "fresh");
}

TEST_F(LogTest, CutsOverLongLinesSafely) {
    const std::string big(5 * kMaxLogLineLength, 'x');
    StartCapture();
    EXPECT_EQ(err(32, "%s", big.c_str()), static_cast<int>(kMaxLogLineLength));
    EXPECT_EQ(err(32, "head %s tail %d", big.c_str(), 5), static_cast<int>(kMaxLogLineLength));
    const std::string exact(kMaxLogLineLength, 'y');
    EXPECT_EQ(err(32, "%s", exact.c_str()), static_cast<int>(kMaxLogLineLength));
    const auto lines = TakeCapture();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, big.substr(0, kMaxLogLineLength));
    EXPECT_EQ(lines[1].text.substr(0, 5), "head ");
    EXPECT_EQ(lines[1].text.size(), kMaxLogLineLength);
    EXPECT_EQ(lines[2].text, exact);
}

TEST_F(LogTest, NullFormatIsRefusedQuietly) {
    StartCapture();
    EXPECT_EQ(err(32, nullptr), -1);
    EXPECT_TRUE(TakeCapture().empty());
    EXPECT_TRUE(Shown().empty());
}

TEST_F(LogTest, DefaultSinkWritesOneLineToStandardError) {
    SetLogSink(nullptr);
    ::testing::internal::CaptureStderr();
    err(32, "VPIVG: Comms fail! Vpi=%d ", 4);
    err(8, "hidden");
    err(0, "VPIVG: Read Packet failed!");
    const std::string output = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(output, "[32] VPIVG: Comms fail! Vpi=4 \n[0] VPIVG: Read Packet failed!\n");
}

TEST_F(LogTest, ASinkThatLogsDoesNotDeadlock) {
    int calls = 0;
    SetLogSink([&calls](int, const std::string& text) {
        ++calls;
        // Goes to standard error instead of back into this sink.
        err(32, "echo of %s", text.c_str());
    });
    StartCapture();
    ::testing::internal::CaptureStderr();
    err(32, "original");
    const std::string output = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(output, "[32] echo of original\n");
    EXPECT_EQ(TakeCapture().size(), 2u);
}

}  // namespace
