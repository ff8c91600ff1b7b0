// The packet receiver on a real line: framing, limits, and every message it logs.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control.hpp"
#include "datapath/datapath.hpp"
#include "serial/serial.hpp"
#include "testline.hpp"

namespace {

constexpr int kQuickTimeout = 10;  // 100 ms: silence is noticed quickly

const char* const kTrace = "VPIVG: The following data Data Receieved for VPI 4";
const char* const kNoTrailer = "VPIVG: Failed to find 'Message Trailer'";
const char* const kNoStart =
    "VPIVG: Failed to find a 'Start of header' character in receive buffer";
const char* const kReadFailed = "VPIVG: Failed to read a character from receive buffer";

// The lines DumpBuffer logs for these bytes.
std::vector<zelpro::LogLine> Dump(const std::string& bytes, int level) {
    std::vector<zelpro::LogLine> lines{{level, ""},
                                       {level, "***** Start Printing Received Data *****"}};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "Buf[%zu] = %x(h)", i,
                      static_cast<unsigned>(static_cast<unsigned char>(bytes[i])));
        lines.push_back({level, text});
    }
    lines.push_back({level, "***** End Of Received Data Buffer *****"});
    lines.push_back({level, ""});
    return lines;
}

void ExpectLog(const std::vector<zelpro::LogLine>& actual,
               const std::vector<zelpro::LogLine>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].level, expected[i].level) << "line " << i;
        EXPECT_EQ(actual[i].text, expected[i].text) << "line " << i;
    }
}

std::vector<zelpro::LogLine> Concat(std::vector<zelpro::LogLine> a,
                                    const std::vector<zelpro::LogLine>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Receiver : public ::testing::Test {
protected:
    void SetUp() override {
        zelpro::Reset();
        zelpro::SetLogSink([](int, const std::string&) {});
        std::string why;
        line_ = TestLine::Open(&why);
        ASSERT_TRUE(line_) << why;
        instance_ = std::make_unique<VpiInstance>();
        instance_->vpiNumber = 4;
        PortSettings settings{};
        std::strncpy(settings.name, line_->DeviceName().c_str(), sizeof settings.name - 1);
        settings.line = LineParams{9600, 8, 0, 0};
        settings.lineFlags = 8;
        HANDLE handle = PortOpen(settings);
        ASSERT_NE(handle, nullptr);
        SerialSetReadTimeout(handle, kQuickTimeout);
        instance_->portHandle.store(handle);
    }
    void TearDown() override {
        if (instance_) {
            HANDLE handle = instance_->portHandle.exchange(nullptr);
            if (handle) SerialClose(handle);
        }
        zelpro::SetLogSink({});
        zelpro::Reset();
    }

    struct Result {
        int result;
        std::uint16_t length;
        std::string stored;  // the first `length` bytes of the buffer
        std::vector<zelpro::LogLine> log;
    };

    Result Receive() {
        std::memset(buffer_, 0xEE, sizeof buffer_);
        std::uint16_t length = 0xBEEF;
        zelpro::StartCapture();
        const int result = ReceivePacket(instance_.get(), buffer_, &length);
        Result r{result, length, {}, zelpro::TakeCapture()};
        if (length <= sizeof buffer_) r.stored.assign(reinterpret_cast<char*>(buffer_), length);
        return r;
    }
    // Nothing beyond `length` was written.
    bool RestUntouched(std::size_t from) const {
        for (std::size_t i = from; i < sizeof buffer_; ++i) {
            if (buffer_[i] != 0xEE) return false;
        }
        return true;
    }

    std::unique_ptr<TestLine> line_;
    std::unique_ptr<VpiInstance> instance_;
    unsigned char buffer_[3000];
};

std::vector<zelpro::LogLine> Traced(const std::string& packet) {
    return Concat({{8, kTrace}}, Dump(packet, 8));
}

TEST_F(Receiver, FramesPacketsFromTheirStartCharacter) {
    // Noise ahead is dropped; an "a" inside is data; the shortest packet is "a\n\r".
    ASSERT_TRUE(line_->Write("xyz" "a;a;12\n\r" "a\n\r"));
    Result r = Receive();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.stored, "a;a;12\n\r");
    EXPECT_TRUE(RestUntouched(r.length));
    ExpectLog(r.log, Traced("a;a;12\n\r"));

    r = Receive();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.stored, "a\n\r");
    ExpectLog(r.log, Traced("a\n\r"));
}

TEST_F(Receiver, HuntsAtMostOneThousandCharacters) {
    ASSERT_TRUE(line_->Write(std::string(999, 'x') + "a\n\r"));
    Result r = Receive();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.stored, "a\n\r");

    ASSERT_TRUE(line_->Write(std::string(1000, 'x') + "a\n\r"));
    r = Receive();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.length, 0);
    EXPECT_TRUE(RestUntouched(0));
    ExpectLog(r.log, {{32, kNoStart}});
    // The packet after the limit is found by the next call.
    r = Receive();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.stored, "a\n\r");
}

TEST_F(Receiver, TrailerIsLineFeedThenCarriageReturn) {
    // Carriage return then line feed is no trailer: collecting runs into the next packet.
    ASSERT_TRUE(line_->Write("a;1\r\n" "a;2\n\r"));
    const Result r = Receive();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.stored, "a;1\r\na;2\n\r");
}

TEST_F(Receiver, CollectsAtMostOneThousandCharacters) {
    // Trailer ending on the 1000th character after the "a": found.
    const std::string longest = "a" + std::string(998, 'x') + "\n\r";
    ASSERT_TRUE(line_->Write(longest));
    Result r = Receive();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.length, 1001);
    EXPECT_EQ(r.stored, longest);
    EXPECT_TRUE(RestUntouched(1001));

    // One character later: cut at the limit, the carriage return left on the line.
    const std::string tooLong = "a" + std::string(999, 'x') + "\n\r";
    ASSERT_TRUE(line_->Write(tooLong));
    r = Receive();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.length, 1001);
    EXPECT_EQ(r.stored, tooLong.substr(0, 1001));
    EXPECT_TRUE(RestUntouched(1001));
    ExpectLog(r.log, Concat({{32, kNoTrailer}}, Traced(tooLong.substr(0, 1001))));

    // The next hunt drops the leftover and then finds the line silent.
    r = Receive();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.length, 0);
    ExpectLog(r.log, {{32, kReadFailed}});
}

TEST_F(Receiver, SilenceEndsAPacketOrAHunt) {
    ASSERT_TRUE(line_->Write("a;12"));
    Result r = Receive();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.length, 4);
    EXPECT_EQ(r.stored, "a;12");
    EXPECT_TRUE(RestUntouched(4));
    ExpectLog(r.log, Concat({{32, kNoTrailer}}, Traced("a;12")));

    r = Receive();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.length, 0);
    EXPECT_TRUE(RestUntouched(0));
    ExpectLog(r.log, {{32, kReadFailed}});
}

TEST_F(Receiver, ClosedPortFailsTheFirstRead) {
    HANDLE handle = instance_->portHandle.exchange(nullptr);
    ASSERT_TRUE(line_->Write("a;1\n\r"));
    Result r = Receive();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.length, 0);
    ExpectLog(r.log, {{32, kReadFailed}});

    // A handle closed under the receiver's feet is refused the same way.
    ASSERT_EQ(SerialClose(handle), 0);
    instance_->portHandle.store(handle);
    r = Receive();
    EXPECT_EQ(r.result, 0);
    ExpectLog(r.log, {{32, kReadFailed}});
    instance_->portHandle.store(nullptr);
}

TEST(DumpBuffer, LogsEveryByteInLowerCaseHex) {
    zelpro::Reset();
    zelpro::SetLogSink([](int, const std::string&) {});
    const unsigned char bytes[] = {0x61, 0x3B, 0x0A, 0x0D, 0x00, 0xFF};
    zelpro::StartCapture();
    DumpBuffer(bytes, 4, 8);
    ExpectLog(zelpro::TakeCapture(), {{8, ""},
                                      {8, "***** Start Printing Received Data *****"},
                                      {8, "Buf[0] = 61(h)"},
                                      {8, "Buf[1] = 3b(h)"},
                                      {8, "Buf[2] = a(h)"},
                                      {8, "Buf[3] = d(h)"},
                                      {8, "***** End Of Received Data Buffer *****"},
                                      {8, ""}});

    zelpro::StartCapture();
    DumpBuffer(bytes + 4, 2, 0);
    ExpectLog(zelpro::TakeCapture(), Dump(std::string("\0\xff", 2), 0));

    // Only the low 8 bits of the level reach the log; an empty buffer logs the framing only.
    zelpro::StartCapture();
    DumpBuffer(bytes, 0, 0x120);
    ExpectLog(zelpro::TakeCapture(), Dump("", 32));
    zelpro::SetLogSink({});
    zelpro::Reset();
}

}  // namespace
